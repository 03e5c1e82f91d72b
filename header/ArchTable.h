// ArchTable.h - processor codes of the setup file's architecture field and
// their names.
#ifndef SETUPHDR_HEADER_ARCHTABLE_H
#define SETUPHDR_HEADER_ARCHTABLE_H

#include <cstddef>
#include <cstdint>

struct ArchEntry {
  std::uint32_t code;
  const char* name;
};

constexpr std::size_t kArchTableSize = 21;

/// The rows in the order of every search and of the usage listing.
extern const ArchEntry kArchTable[kArchTableSize];

/// The name of the first row with this code, or fallback when no row has
/// it ("unknown" in the report's lines; the list leaves the field empty).
const char* lookupArchName(std::uint32_t code,
                           const char* fallback = "unknown");

#endif

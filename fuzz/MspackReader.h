// MspackReader.h - libmspack, the library of cabextract, as an outside
// reader of cabinets in memory, for the cabinet fuzz target.
//
// Debian's libmspack-dev carries a static libmspack.a; the fuzz build links
// it as it is (not instrumented), and hands it the cabinet through an
// mspack_system over memory, with its default settings (no salvage, no
// MSZIP repair), as cabextract reads a cabinet.
#ifndef SETUPHDR_FUZZ_MSPACKREADER_H
#define SETUPHDR_FUZZ_MSPACKREADER_H

#include <cstdint>
#include <string>
#include <vector>

namespace mspackreader {

/// One member as libmspack lists it, and its bytes when it extracts.
struct Member {
  std::string name;
  std::uint32_t size;
  std::uint32_t offset;   // in its folder's stream
  std::uint32_t folder;
  bool extracted;         // false: extract() failed, bytes hold what came
  std::string bytes;
};

/// The members of cabinet in table order, each extracted. False (members
/// empty) when libmspack does not open the cabinet.
bool readMembers(const std::string& cabinet, std::vector<Member>* members);

}  // namespace mspackreader

#endif

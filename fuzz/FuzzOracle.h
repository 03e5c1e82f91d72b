// FuzzOracle.h - what the fuzz targets expect of the header code, written
// out a second time from the format's description, plainly and without the
// tool's own helpers, so that the targets can compare against it.
#ifndef SETUPHDR_FUZZ_FUZZORACLE_H
#define SETUPHDR_FUZZ_FUZZORACLE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "header/HeaderReport.h"

namespace oracle {

/// True when file (size bytes) has a whole header, the "MSCE" signature and
/// its three texts inside the file.
bool headerPasses(const unsigned char* file, std::size_t size);

/// The exact output-stream bytes of the report of a passing file, CR LF
/// line ends and the 1021-character cut included. For a terminal, bytes
/// 0x01 to 0x1F and 0x7F of the file's texts read '?'.
std::string report(const unsigned char* file, std::size_t size,
                   bool terminal);

/// Writes the fields of request into header (at least 100 bytes) at the
/// architecture and version offsets, little-endian, and a zero platform
/// list length when it is lifted.
void applyExpected(unsigned char* header, const ChangeRequest& request);

/// The exact output-stream bytes of the change lines of request.
std::string changeLines(const ChangeRequest& request);

/// The name of an architecture code, or "unknown".
const char* archName(std::uint32_t code);

}  // namespace oracle

#endif

// DeflateHeader.h - the header of one deflate block read from its bits,
// and the table rules by which libmspack (cabextract) reads it otherwise
// than zlib does.
//
// zlib's inflate checks every header before it decodes a symbol; this walk
// runs beside it, at each block boundary zlib stops at, and only says how
// libmspack's inflate would read the same header. The two differ only on
// dynamic blocks (stored and fixed blocks read alike): libmspack builds
// each code table only when its lengths form a complete code, where zlib
// also takes a distance code with no lengths or with a single length of 1,
// and a literal/length code of the end-of-block code alone; and libmspack's
// code length 16 repeats the last length read as such, where zlib's repeats
// the length before it, a 0 behind a run of zeros (17, 18).
#ifndef SETUPHDR_CABINET_DEFLATEHEADER_H
#define SETUPHDR_CABINET_DEFLATEHEADER_H

#include <cstdint>

/// Reads the header of the deflate block that starts at bit position bit
/// of data (size bytes, bits taken from the least significant of each
/// byte on). Returns why libmspack decodes the block otherwise than zlib
/// (a short clause for an error line), or null when both build the same
/// code tables. Meant for a block zlib decodes: on a header zlib refuses,
/// the walk stays inside the bytes and its result means nothing.
const char* deflateHeaderDifference(const unsigned char* data,
                                    std::uint32_t size, std::uint64_t bit);

#endif

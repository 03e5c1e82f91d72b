// DeflateWriter.h - raw deflate streams written bit by bit, for the block
// forms zlib's deflate never writes: the tests' own MSZIP blocks that
// libmspack reads otherwise than zlib.
#ifndef SETUPHDR_TESTS_SUPPORT_DEFLATEWRITER_H
#define SETUPHDR_TESTS_SUPPORT_DEFLATEWRITER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cabtest {

/// One code length as a dynamic header sends it: a code-length symbol
/// (0 to 15 a length, 16 a repeat of the length before, 17 and 18 runs of
/// zeros) and the value of its extra bits.
struct Sent {
  unsigned symbol;
  unsigned extra;
};

/// A dynamic block's header, spelled out: how many literal/length and
/// distance codes it declares, the code-length code (lengths by symbol),
/// the code lengths as sent, and the literal/length code as zlib then reads
/// it (lengths by symbol, 257 or more), with which the data is coded.
struct DynamicHeader {
  unsigned literals;
  unsigned distances;
  std::map<unsigned, unsigned> codeLengthCode;
  std::vector<Sent> sent;
  std::vector<unsigned> literalCode;
};

/// A raw deflate stream, the first bit of each byte in its lowest.
class DeflateWriter {
 public:
  /// Appends count bits of value, its lowest first.
  void bits(std::uint32_t value, unsigned count);
  /// A stored block of bytes (at most 65,535), aligned to a byte first.
  void stored(const std::string& bytes, bool last);
  /// A dynamic block with header: data as literals, then end-of-block.
  void dynamic(const DynamicHeader& header, const std::string& data,
               bool last);
  /// The stream, its last byte filled with zero bits.
  std::string bytes() const;

 private:
  std::string done_;
  std::uint32_t pending_ = 0;
  unsigned count_ = 0;
};

/// A raw deflate stream of data from zlib itself (no "CK"), at level, with
/// dictionary (when not empty) as the history it may refer to.
std::string zlibDeflate(const std::string& data, int level = 6,
                        const std::string& dictionary = std::string());

}  // namespace cabtest

#endif

// DeflateWriter.cpp - deflate blocks written bit by bit (RFC 1951).
#include "DeflateWriter.h"

#include <zlib.h>

namespace cabtest {

namespace {

// The order in which a dynamic header sends the code-length code.
const unsigned kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                       11, 4, 12, 3, 13, 2, 14, 1, 15};

// Canonical codes for lengths by symbol: by length, then by symbol.
std::vector<std::uint32_t> canonical(const std::vector<unsigned>& lengths) {
  std::vector<std::uint32_t> codes(lengths.size());
  std::uint32_t code = 0;
  for (unsigned length = 1; length <= 15; ++length) {
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol)
      if (lengths[symbol] == length) codes[symbol] = code++;
    code <<= 1;
  }
  return codes;
}

// A Huffman code goes out from its highest bit.
void huffman(DeflateWriter* out, std::uint32_t code, unsigned length) {
  for (unsigned k = length; k-- > 0;) out->bits((code >> k) & 1, 1);
}

}  // namespace

void DeflateWriter::bits(std::uint32_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    pending_ |= ((value >> i) & 1) << count_;
    if (++count_ == 8) {
      done_ += static_cast<char>(pending_);
      pending_ = 0;
      count_ = 0;
    }
  }
}

void DeflateWriter::stored(const std::string& bytes, bool last) {
  bits(last ? 1 : 0, 1);
  bits(0, 2);
  if (count_ != 0) bits(0, 8 - count_);
  const auto size = static_cast<std::uint32_t>(bytes.size());
  bits(size, 16);
  bits(~size & 0xFFFF, 16);
  for (char c : bytes) bits(static_cast<unsigned char>(c), 8);
}

void DeflateWriter::dynamic(const DynamicHeader& header,
                            const std::string& data, bool last) {
  bits(last ? 1 : 0, 1);
  bits(2, 2);
  bits(header.literals - 257, 5);
  bits(header.distances - 1, 5);
  std::vector<unsigned> codeLengths(19, 0);
  unsigned sent = 4;
  for (const auto& entry : header.codeLengthCode) {
    codeLengths[entry.first] = entry.second;
    for (unsigned i = 0; i < 19; ++i)
      if (kCodeLengthOrder[i] == entry.first && i + 1 > sent) sent = i + 1;
  }
  bits(sent - 4, 4);
  for (unsigned i = 0; i < sent; ++i)
    bits(codeLengths[kCodeLengthOrder[i]], 3);
  const std::vector<std::uint32_t> lengthCodes = canonical(codeLengths);
  for (const Sent& length : header.sent) {
    huffman(this, lengthCodes[length.symbol], codeLengths[length.symbol]);
    if (length.symbol == 16) bits(length.extra, 2);
    if (length.symbol == 17) bits(length.extra, 3);
    if (length.symbol == 18) bits(length.extra, 7);
  }
  const std::vector<std::uint32_t> literalCodes = canonical(header.literalCode);
  for (char c : data) {
    const auto literal = static_cast<unsigned char>(c);
    huffman(this, literalCodes[literal], header.literalCode[literal]);
  }
  huffman(this, literalCodes[256], header.literalCode[256]);
}

std::string DeflateWriter::bytes() const {
  return count_ == 0 ? done_ : done_ + static_cast<char>(pending_);
}

std::string zlibDeflate(const std::string& data, int level,
                        const std::string& dictionary) {
  z_stream stream = {};
  deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  if (!dictionary.empty())
    deflateSetDictionary(&stream,
                         reinterpret_cast<const Bytef*>(dictionary.data()),
                         static_cast<uInt>(dictionary.size()));
  std::string out(deflateBound(&stream, data.size()) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace cabtest

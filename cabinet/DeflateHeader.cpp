// DeflateHeader.cpp - a deflate block's header walked from its bits, with
// zlib's rules (inflate.c, inftrees.c) and libmspack's (mszipd.c,
// readhuff.h) on the code tables it sets up.
//
// The code lengths are read once and kept both ways: as zlib reads a
// repeat (16) and as libmspack does. Each table is then built as
// libmspack's make_decode_table builds it: codes are placed by length
// into a table of tableBits bits, the short ones (up to tableBits) first;
// once those fill the table the table is done and longer codes are never
// reached, otherwise all of them must fill it exactly. A table libmspack
// cannot build, or one whose codes differ from zlib's, reads otherwise.
#include "cabinet/DeflateHeader.h"

#include <cstring>

namespace {

constexpr unsigned kMaxLength = 15;
// The Kraft sum of a complete code: codes of length n count 2^(15 - n).
constexpr std::uint32_t kComplete = 1u << kMaxLength;
constexpr unsigned kLiteralCodes = 286;   // zlib takes no more (HLIT)
constexpr unsigned kDistanceCodes = 30;   // nor more (HDIST)
constexpr unsigned kEndOfBlock = 256;
// libmspack's table bits for the literal/length and the distance code.
constexpr unsigned kLiteralTableBits = 9;
constexpr unsigned kDistanceTableBits = 6;
// The code-length code: 19 symbols of up to 7 bits, sent in this order.
constexpr unsigned kCodeLengthSymbols = 19;
constexpr unsigned kCodeLengthBits = 7;
constexpr unsigned char kCodeLengthOrder[kCodeLengthSymbols] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

const char kUnreadable[] = "its deflate header does not read";
const char kIncompleteLiterals[] = "it has an incomplete literal/length code";
const char kIncompleteDistances[] = "it has an incomplete distance code";
const char kRepeatAfterZeros[] =
    "it repeats a code length behind a run of zeros";

// The bits of a block: end and at count bits from the start of data.
struct Bits {
  const unsigned char* data;
  std::uint64_t end;
  std::uint64_t at;
};

// The count bits (at most 16) from the position on, the first in the
// lowest bit; bits behind the end read as 0. Does not advance.
unsigned peek(const Bits& bits, unsigned count) {
  std::uint32_t gathered = 0;
  const std::uint64_t first = bits.at >> 3;
  for (unsigned i = 0; i < 3; ++i) {
    if ((first + i) * 8 >= bits.end) break;
    gathered |= std::uint32_t{bits.data[first + i]} << (8 * i);
  }
  gathered >>= bits.at & 7;
  return gathered & ((1u << count) - 1);
}

// Takes count bits (at most 16) into *value and advances past them. False
// when they pass the end.
bool take(Bits* bits, unsigned count, unsigned* value) {
  if (count > bits->end - bits->at) return false;
  *value = peek(*bits, count);
  bits->at += count;
  return true;
}

// The Kraft sum of the codes among lengths[0, count) no longer than limit.
std::uint32_t kraftSum(const unsigned char* lengths, unsigned count,
                       unsigned limit) {
  std::uint32_t sum = 0;
  for (unsigned i = 0; i < count; ++i)
    if (lengths[i] != 0 && lengths[i] <= limit)
      sum += kComplete >> lengths[i];
  return sum;
}

// zlib's inflate_table on a literal/length or distance code: not
// over-subscribed, and complete unless it has no code at all or a single
// code of length 1 (inftrees.c, "incomplete set").
bool zlibTakes(const unsigned char* lengths, unsigned count) {
  const std::uint32_t sum = kraftSum(lengths, count, kMaxLength);
  if (sum == kComplete) return true;
  if (sum > kComplete) return false;
  unsigned longest = 0;
  for (unsigned i = 0; i < count; ++i)
    if (lengths[i] > longest) longest = lengths[i];
  return longest <= 1;
}

// Why libmspack's table for count codes (libmspack's lengths mspack,
// zlib's zlib) decodes otherwise than zlib's, or null. incomplete names
// the code for a table libmspack cannot build from the same lengths.
const char* tableDifference(const unsigned char* zlib,
                            const unsigned char* mspack, unsigned count,
                            unsigned tableBits, const char* incomplete) {
  if (kraftSum(mspack, count, tableBits) == kComplete) {
    // The short codes alone fill the table; the longer are never reached.
    for (unsigned i = 0; i < count; ++i) {
      const unsigned reached = mspack[i] <= tableBits ? mspack[i] : 0;
      if (reached != zlib[i]) return kRepeatAfterZeros;
    }
    return nullptr;
  }
  const bool same = std::memcmp(zlib, mspack, count) == 0;
  if (kraftSum(mspack, count, kMaxLength) != kComplete)
    return same ? incomplete : kRepeatAfterZeros;
  return same ? nullptr : kRepeatAfterZeros;
}

}  // namespace

const char* deflateHeaderDifference(const unsigned char* data,
                                    std::uint32_t size, std::uint64_t bit) {
  Bits bits = {data, std::uint64_t{size} * 8, bit};
  if (bits.at > bits.end) return kUnreadable;
  unsigned last = 0, type = 0;
  if (!take(&bits, 1, &last) || !take(&bits, 2, &type)) return kUnreadable;
  // Stored and fixed blocks read alike; type 3 does not read.
  if (type != 2) return type == 3 ? kUnreadable : nullptr;

  unsigned literals = 0, distances = 0, sent = 0;
  if (!take(&bits, 5, &literals) || !take(&bits, 5, &distances) ||
      !take(&bits, 4, &sent))
    return kUnreadable;
  literals += 257;
  distances += 1;
  sent += 4;
  if (literals > kLiteralCodes || distances > kDistanceCodes)
    return kUnreadable;

  // The code-length code, which both readers need complete.
  unsigned char codeLengths[kCodeLengthSymbols] = {};
  for (unsigned i = 0; i < sent; ++i) {
    unsigned length = 0;
    if (!take(&bits, 3, &length)) return kUnreadable;
    codeLengths[kCodeLengthOrder[i]] = static_cast<unsigned char>(length);
  }
  if (kraftSum(codeLengths, kCodeLengthSymbols, kMaxLength) != kComplete)
    return kUnreadable;
  // Its lookup table by the next 7 bits: symbol and length. Canonical
  // codes are sent from their highest bit, so the index is reversed.
  unsigned short table[1u << kCodeLengthBits];
  unsigned code = 0;
  for (unsigned length = 1; length <= kCodeLengthBits; ++length) {
    for (unsigned symbol = 0; symbol < kCodeLengthSymbols; ++symbol) {
      if (codeLengths[symbol] != length) continue;
      unsigned reversed = 0;
      for (unsigned k = 0; k < length; ++k)
        reversed |= ((code >> k) & 1u) << (length - 1 - k);
      for (unsigned at = reversed; at < (1u << kCodeLengthBits);
           at += 1u << length)
        table[at] = static_cast<unsigned short>(symbol | length << 8);
      ++code;
    }
    code <<= 1;
  }

  // The lengths of both codes in one run, as zlib and as libmspack read a
  // repeat: zlib the length before it, libmspack the last one sent as a
  // length (mszipd.c zip_read_lens, last_code).
  unsigned char zlib[kLiteralCodes + kDistanceCodes];
  unsigned char mspack[kLiteralCodes + kDistanceCodes];
  const unsigned total = literals + distances;
  unsigned lastSent = 0;
  for (unsigned i = 0; i < total;) {
    const unsigned entry = table[peek(bits, kCodeLengthBits)];
    const unsigned symbol = entry & 0xFF;
    if ((entry >> 8) > bits.end - bits.at) return kUnreadable;
    bits.at += entry >> 8;
    if (symbol < 16) {
      zlib[i] = mspack[i] = static_cast<unsigned char>(symbol);
      lastSent = symbol;
      ++i;
      continue;
    }
    unsigned extra = 0, repeat = 0, zlibValue = 0, mspackValue = 0;
    if (symbol == 16) {
      if (i == 0 || !take(&bits, 2, &extra)) return kUnreadable;
      repeat = 3 + extra;
      zlibValue = zlib[i - 1];
      mspackValue = lastSent;
    } else if (symbol == 17) {
      if (!take(&bits, 3, &extra)) return kUnreadable;
      repeat = 3 + extra;
    } else {
      if (!take(&bits, 7, &extra)) return kUnreadable;
      repeat = 11 + extra;
    }
    if (repeat > total - i) return kUnreadable;
    std::memset(zlib + i, static_cast<int>(zlibValue), repeat);
    std::memset(mspack + i, static_cast<int>(mspackValue), repeat);
    i += repeat;
  }
  if (zlib[kEndOfBlock] == 0 || !zlibTakes(zlib, literals) ||
      !zlibTakes(zlib + literals, distances))
    return kUnreadable;

  const char* difference =
      tableDifference(zlib, mspack, literals, kLiteralTableBits,
                      kIncompleteLiterals);
  if (difference != nullptr) return difference;
  return tableDifference(zlib + literals, mspack + literals, distances,
                         kDistanceTableBits, kIncompleteDistances);
}

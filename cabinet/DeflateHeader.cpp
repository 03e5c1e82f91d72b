// DeflateHeader.cpp - a deflate block's header walked from its bits, with
// zlib's rules (inflate.c, inftrees.c) and libmspack's (mszipd.c,
// readhuff.h) on the code tables it sets up.
//
// The walk's verdict counts only for a block zlib decodes whole, so it
// reads a header on the premise that zlib takes it, and only stays inside
// the bytes when zlib would not. The code lengths are read once, both ways:
// as zlib reads a repeat (16) and as libmspack does, which differ only
// where a repeat gave libmspack a length and zlib a 0. Where they are the
// same, zlib has taken a complete code or one of at most one code, which
// libmspack cannot build (readhuff.h make_decode_table: every table must be
// filled). Where they differ, each table is judged as make_decode_table
// builds it: codes are placed by length into a table of tableBits bits,
// the short ones (up to tableBits) first; once those fill the table the
// table is done and longer codes are never reached, otherwise all of them
// must fill it exactly. Canonical codes follow from the lengths alone, so
// equal lengths (those libmspack reaches) mean equal codes.
#include "cabinet/DeflateHeader.h"

#include <cstring>

#include "header/Endian.h"

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

// Every 7-bit value with its bits in reverse order.
struct Reversed {
  unsigned char of[1u << kCodeLengthBits];
};
constexpr Reversed reversedBits() {
  Reversed table = {};
  for (unsigned value = 0; value < (1u << kCodeLengthBits); ++value)
    for (unsigned k = 0; k < kCodeLengthBits; ++k)
      table.of[value] = static_cast<unsigned char>(
          table.of[value] | ((value >> k) & 1u) << (kCodeLengthBits - 1 - k));
  return table;
}
constexpr Reversed kReversed = reversedBits();

const char kUnreadable[] = "its deflate header does not read";
const char kIncompleteLiterals[] = "it has an incomplete literal/length code";
const char kIncompleteDistances[] = "it has an incomplete distance code";
const char kRepeatAfterZeros[] =
    "it repeats a code length behind a run of zeros";

// The bits of a block from a position on, the first in the lowest bit of
// buffer, which holds count of them; bits behind the end read as 0 and
// take count below 0.
struct Bits {
  const unsigned char* next;
  const unsigned char* end;
  std::uint64_t buffer;
  int count;
};

// Tops the buffer up with whole bytes while they fit: eight at a time
// where there are (the bits above count then hold the first bits of the
// next byte, which it brings again), else one by one. (count is below 0
// only once the bytes have run out.)
void refill(Bits* bits) {
  if (bits->end - bits->next >= 8 && bits->count >= 0) {
    const std::uint64_t word =
        readLE32(bits->next) | std::uint64_t{readLE32(bits->next + 4)} << 32;
    bits->buffer |= word << bits->count;
    bits->next += (63 - bits->count) >> 3;
    bits->count |= 56;
    return;
  }
  while (bits->count <= 56 && bits->next < bits->end) {
    bits->buffer |= std::uint64_t{*bits->next++} << bits->count;
    bits->count += 8;
  }
}

// Takes count bits (at most 16) into *value. False when they pass the end.
bool take(Bits* bits, int count, unsigned* value) {
  if (bits->count < count) refill(bits);
  if (bits->count < count) return false;
  *value = static_cast<unsigned>(bits->buffer & ((1u << count) - 1));
  bits->buffer >>= count;
  bits->count -= count;
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

// How many of lengths[0, count) are codes.
unsigned codesAmong(const unsigned char* lengths, unsigned count) {
  unsigned codes = 0;
  for (unsigned i = 0; i < count; ++i) codes += lengths[i] != 0;
  return codes;
}

// Why libmspack's table for count codes (libmspack's lengths mspack,
// zlib's zlib) decodes otherwise than zlib's, or null. incomplete names
// the code for a table libmspack cannot build from zlib's own lengths.
const char* tableDifference(const unsigned char* zlib,
                            const unsigned char* mspack, unsigned count,
                            unsigned tableBits, const char* incomplete) {
  bool same = true;
  if (kraftSum(mspack, count, tableBits) == kComplete) {
    // The short codes alone fill the table; the longer are never reached.
    for (unsigned i = 0; i < count; ++i)
      same = same && (mspack[i] <= tableBits ? mspack[i] : 0) == zlib[i];
    return same ? nullptr : kRepeatAfterZeros;
  }
  for (unsigned i = 0; i < count; ++i) same = same && mspack[i] == zlib[i];
  if (kraftSum(mspack, count, kMaxLength) != kComplete)
    return same ? incomplete : kRepeatAfterZeros;
  return same ? nullptr : kRepeatAfterZeros;
}

}  // namespace

const char* deflateHeaderDifference(const unsigned char* data,
                                    std::uint32_t size, std::uint64_t bit) {
  if (bit > std::uint64_t{size} * 8) return kUnreadable;
  Bits bits = {data + bit / 8, data + size, 0, 0};
  unsigned value = 0;
  if (bit % 8 != 0 && !take(&bits, static_cast<int>(bit % 8), &value))
    return kUnreadable;
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
    if (!take(&bits, 3, &value)) return kUnreadable;
    codeLengths[kCodeLengthOrder[i]] = static_cast<unsigned char>(value);
  }
  if (kraftSum(codeLengths, kCodeLengthSymbols, kMaxLength) != kComplete)
    return kUnreadable;
  // Its lookup table by the next 7 bits: symbol and length. Canonical
  // codes go by length, then by symbol; they are sent from their highest
  // bit, so the index is the code reversed.
  unsigned counts[kCodeLengthBits + 1] = {};
  for (unsigned symbol = 0; symbol < kCodeLengthSymbols; ++symbol)
    ++counts[codeLengths[symbol]];
  unsigned next[kCodeLengthBits + 1] = {};
  for (unsigned length = 2; length <= kCodeLengthBits; ++length)
    next[length] = (next[length - 1] + counts[length - 1]) << 1;
  unsigned short table[1u << kCodeLengthBits];
  for (unsigned symbol = 0; symbol < kCodeLengthSymbols; ++symbol) {
    const unsigned length = codeLengths[symbol];
    if (length == 0) continue;
    const unsigned code = next[length]++;
    const unsigned reversed = kReversed.of[code << (kCodeLengthBits - length)];
    for (unsigned at = reversed; at < (1u << kCodeLengthBits);
         at += 1u << length)
      table[at] = static_cast<unsigned short>(symbol | length << 8);
  }

  // The lengths of both codes in one run, as zlib and as libmspack read a
  // repeat (16): zlib the length before it, libmspack the last one sent as
  // a length (mszipd.c zip_read_lens, last_code).
  unsigned char zlib[kLiteralCodes + kDistanceCodes];
  unsigned char mspack[kLiteralCodes + kDistanceCodes];
  const unsigned total = literals + distances;
  unsigned lastSent = 0;
  bool repeatDiffers = false;
  for (unsigned i = 0; i < total;) {
    // A symbol and its extra bits take at most 14 bits.
    if (bits.count < 14) refill(&bits);
    const unsigned entry =
        table[bits.buffer & ((1u << kCodeLengthBits) - 1)];
    const unsigned symbol = entry & 0xFF;
    bits.buffer >>= entry >> 8;
    bits.count -= static_cast<int>(entry >> 8);
    if (symbol < 16) {
      zlib[i] = mspack[i] = static_cast<unsigned char>(symbol);
      lastSent = symbol;
      ++i;
      continue;
    }
    unsigned repeat = 0, zlibLength = 0, mspackLength = 0;
    if (symbol == 16) {
      if (i == 0 || !take(&bits, 2, &value)) return kUnreadable;
      repeat = 3 + value;
      zlibLength = zlib[i - 1];
      mspackLength = lastSent;
      repeatDiffers = repeatDiffers || zlibLength != mspackLength;
    } else if (symbol == 17) {
      if (!take(&bits, 3, &value)) return kUnreadable;
      repeat = 3 + value;
    } else {
      if (!take(&bits, 7, &value)) return kUnreadable;
      repeat = 11 + value;
    }
    if (repeat > total - i) return kUnreadable;
    std::memset(zlib + i, static_cast<int>(zlibLength), repeat);
    std::memset(mspack + i, static_cast<int>(mspackLength), repeat);
    i += repeat;
  }
  if (bits.count < 0) return kUnreadable;

  if (!repeatDiffers) {
    // What zlib takes short of complete is a single code or none: for the
    // literal/length code, end-of-block's alone.
    unsigned literal = 0;
    while (literal < literals && (zlib[literal] == 0 || literal == kEndOfBlock))
      ++literal;
    if (literal == literals) return kIncompleteLiterals;
    return codesAmong(zlib + literals, distances) <= 1 ? kIncompleteDistances
                                                        : nullptr;
  }
  const char* difference =
      tableDifference(zlib, mspack, literals, kLiteralTableBits,
                      kIncompleteLiterals);
  if (difference != nullptr) return difference;
  return tableDifference(zlib + literals, mspack + literals, distances,
                         kDistanceTableBits, kIncompleteDistances);
}

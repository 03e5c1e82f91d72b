// Scan.cpp - blanks, words, numbers and text comparison on the command line.
#include "text/Scan.h"

#include "runtime/Platform.h"

bool isBlank(char c) { return c == ' ' || c == '\t'; }

const char* skipBlanks(const char* text) {
  while (isBlank(*text)) ++text;
  return text;
}

namespace {

bool isDelimiter(char c, const char* delimiters) {
  for (; *delimiters != '\0'; ++delimiters) {
    if (c == *delimiters) return true;
  }
  return false;
}

// Length of text, counting at most limit characters.
std::size_t boundedLength(const char* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

}  // namespace

const char* readToken(const char* text, char* destination,
                      std::size_t capacity, const char* delimiters,
                      std::size_t* wordLength) {
  if (destination != nullptr && capacity > 0) destination[0] = '\0';
  if (wordLength != nullptr) *wordLength = 0;
  if (*text == '\0') return nullptr;

  const bool quoted = *text == '"';
  if (quoted) {
    ++text;
    delimiters = "\"";
  } else if (delimiters == nullptr) {
    delimiters = " \t";
  }

  std::size_t length = 0;  // characters that went to the word
  std::size_t stored = 0;  // of those, characters kept in destination
  for (;;) {
    char c = *text;
    if (c == '\0') {
      if (quoted) {
        // The closing quote never came: no word, but a terminated buffer.
        if (destination != nullptr && capacity > 0) destination[stored] = '\0';
        return nullptr;
      }
      break;
    }
    if (c == '"' && text[1] == '"') {
      text += 2;  // a doubled quote stands for one
    } else if (isDelimiter(c, delimiters)) {
      break;
    } else {
      ++text;
    }
    if (destination != nullptr && stored + 1 < capacity)
      destination[stored++] = c;
    ++length;
  }
  if (destination != nullptr && capacity > 0) destination[stored] = '\0';
  if (wordLength != nullptr) *wordLength = length;
  if (quoted) ++text;  // the closing quote
  return text;
}

std::uint64_t parseUnsigned(const char* text, unsigned radix,
                            const char** end) {
  std::uint64_t value = 0;
  for (;; ++text) {
    const char c = *text;
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'Z') {
      digit = static_cast<unsigned>(c - 'A') + 10;
    } else if (c >= 'a' && c <= 'z') {
      digit = static_cast<unsigned>(c - 'a') + 10;
    } else {
      break;
    }
    if (digit >= radix) break;
    // value <= 0xFFFFFFFF here, so this cannot wrap 64 bits for radix <= 36.
    value = value * radix + digit;
    if (value > 0xFFFFFFFFu) break;  // leave the carrying digit unconsumed
  }
  *end = text;
  return value;
}

bool compareText(const char* a, const char* b, int count, bool ignoreCase) {
  // A count never takes the comparison past a text's NUL: the shorter text
  // is compared at its own length, so it cannot equal one that has count.
  std::size_t lengthA, lengthB;
  if (count < 0) {
    lengthA = boundedLength(a, static_cast<std::size_t>(-1));
    lengthB = boundedLength(b, static_cast<std::size_t>(-1));
  } else {
    lengthA = boundedLength(a, static_cast<std::size_t>(count));
    lengthB = boundedLength(b, static_cast<std::size_t>(count));
  }
  return platform::equalTexts(a, lengthA, b, lengthB, ignoreCase);
}

std::size_t writeDecimal(std::uint32_t value, char* text) {
  char digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  return count;
}

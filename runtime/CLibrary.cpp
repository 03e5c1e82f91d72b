// CLibrary.cpp - the platform functions that need nothing but the C
// library (text formatting, ASCII text comparison), for the layers without
// system functions of their own for them: POSIX, memory and the unit tests'
// fake. See Platform.h for the contracts.
#include <cstdarg>
#include <cstdint>
#include <cstdio>  // vsnprintf, snprintf
#include <cstring>  // strlen

#include "runtime/Platform.h"

namespace platform {

namespace {

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::size_t formatTextV(char* buffer, std::size_t capacity, const char* format,
                        va_list args) {
  buffer[0] = '\0';
  std::vsnprintf(buffer, capacity, format, args);
  buffer[capacity - 1] = '\0';
  return std::strlen(buffer);
}

std::size_t formatErrorPrefix(char* buffer, const char* customer,
                              std::uint32_t facility, std::uint32_t number) {
  const int length = std::snprintf(buffer, 32, "%s%u/%u - ", customer,
                                   static_cast<unsigned>(facility),
                                   static_cast<unsigned>(number));
  return length < 0 ? 0 : static_cast<std::size_t>(length);
}

bool equalTexts(const char* a, std::size_t lengthA, const char* b,
                std::size_t lengthB, bool ignoreCase) {
  if (lengthA != lengthB) return false;
  for (std::size_t i = 0; i < lengthA; ++i) {
    char x = a[i], y = b[i];
    if (ignoreCase) {
      x = asciiLower(x);
      y = asciiLower(y);
    }
    if (x != y) return false;
  }
  return true;
}

}  // namespace platform

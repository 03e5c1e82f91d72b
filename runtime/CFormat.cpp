// CFormat.cpp - the platform layer's text formatting through the C
// library's vsnprintf, for the layers that have no formatter of their own
// (POSIX, memory, the unit tests' fake). See Platform.h for the contracts.
#include <cstdarg>
#include <cstdint>
#include <cstdio>  // vsnprintf, snprintf
#include <cstring>  // strlen

#include "runtime/Platform.h"

namespace platform {

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

}  // namespace platform

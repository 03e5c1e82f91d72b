// CabinetSource.cpp - the fetch, allocation and failure line shared by the
// parts of the cabinet reader.
#include "cabinet/CabinetSource.h"

#include <cstdarg>

#include "runtime/Console.h"
#include "runtime/Runtime.h"

void reportCabinet(const CabinetSource& source, const char* format, ...) {
  if (source.quiet) return;
  va_list args;
  va_start(args, format);
  writeLine(gConsole.error, format, args, true);
  va_end(args);
}

void* allocCabinetTable(const CabinetSource& source, std::uint64_t count,
                        std::uint64_t size) {
  const std::uint64_t bytes = count * size == 0 ? 1 : count * size;
  void* block = bytes > 0xFFFFFFFFull
                    ? nullptr
                    : allocZeroed(static_cast<std::size_t>(bytes));
  if (block == nullptr)
    reportCabinet(source, "Cannot allocate %u bytes for cabinet data",
                  static_cast<std::uint32_t>(
                      bytes > 0xFFFFFFFFull ? 0xFFFFFFFFull : bytes));
  return block;
}

const unsigned char* fetchCabinetBytes(const CabinetSource& source,
                                       std::uint32_t offset,
                                       std::uint32_t size,
                                       unsigned char* buffer) {
  if (source.image != nullptr) return source.image + offset;
  if (size == 0) return buffer;
  if (!source.readAt(source.context, offset, buffer, size)) return nullptr;
  return buffer;
}

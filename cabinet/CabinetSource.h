// CabinetSource.h - where a cabinet's bytes come from (the whole file in
// memory, or a function that reads ranges of it) and the few steps every
// part of the cabinet reader takes on them: a bounded fetch, a range check
// that cannot wrap, a table allocation and a failure line that honours the
// source's quiet.
#ifndef SETUPHDR_CABINET_CABINETSOURCE_H
#define SETUPHDR_CABINET_CABINETSOURCE_H

#include <cstdint>

/// Where the reader gets the cabinet's bytes: the whole file in memory
/// (image), or readAt, which reads size bytes at offset into buffer and
/// returns false after an error line. quiet keeps the reader's own failure
/// lines off the error stream (used when checking an image the tool built).
struct CabinetSource {
  const unsigned char* image;
  std::uint32_t fileSize;
  bool (*readAt)(void* context, std::uint32_t offset, void* buffer,
                 std::uint32_t size);
  void* context;
  bool quiet;
};

/// Writes one failure line (printf-like, see reportError) on the error
/// stream, unless the source is quiet.
void reportCabinet(const CabinetSource& source, const char* format, ...);

/// A zero-filled block for count items of size bytes (at least one byte,
/// so an empty table is no failure), or null after a line ("Cannot allocate
/// N bytes for cabinet data"). Release it with freeBlock.
void* allocCabinetTable(const CabinetSource& source, std::uint64_t count,
                        std::uint64_t size);

/// True when size bytes at offset lie inside the first end bytes; checked
/// by subtraction, so no sum can wrap.
inline bool rangeInside(std::uint32_t offset, std::uint64_t size,
                        std::uint32_t end) {
  return offset <= end && size <= end - offset;
}

/// The size bytes at offset, which the caller has checked lie inside the
/// file: a pointer into the image, or buffer (room for size bytes) after
/// reading them there. Null after the source's error line.
const unsigned char* fetchCabinetBytes(const CabinetSource& source,
                                       std::uint32_t offset,
                                       std::uint32_t size,
                                       unsigned char* buffer);

#endif

// FileTable.cpp - the members of a cabinet: its file table, read in one
// walk, and each member's name, fetched when asked for.
//
// A cabinet in memory keeps the table where it is. Read in ranges, the
// table is walked through a window of kFileWindowSize bytes and not kept:
// only a small record per member is, and a name is read again when a line
// needs it, so a table of 65,535 long names costs no more than the window.
#include "cabinet/FileTable.h"

#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/SetupXmlMember.h"
#include "header/Endian.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

using namespace CabFormat;

namespace {

// How much of a file table read in ranges is held at a time.
constexpr std::uint32_t kFileWindowSize = 64 * 1024;

// The part of the file table in hand: size bytes from start (inside the
// table) on. In memory the window is the whole table; read in ranges it
// is buffer, moved on as the walk needs.
struct TableWindow {
  const unsigned char* bytes;
  std::uint32_t start;
  std::uint32_t size;
  unsigned char* buffer;
};

// The size bytes at position inside the table (which the caller has
// checked against span, and size <= kFileWindowSize): in the window, which
// is read again from position when they are not all in it. Null after the
// reader's line.
const unsigned char* windowAt(const CabinetSource& source,
                              const Cabinet& cabinet, std::uint32_t span,
                              std::uint32_t position, std::uint32_t size,
                              TableWindow* window) {
  if (position < window->start || position - window->start > window->size ||
      size > window->size - (position - window->start)) {
    std::uint32_t length = span - position;
    if (length > kFileWindowSize) length = kFileWindowSize;
    if (!source.readAt(source.context, cabinet.filesOffset + position,
                       window->buffer, length))
      return nullptr;
    window->bytes = window->buffer;
    window->start = position;
    window->size = length;
  }
  return window->bytes + (position - window->start);
}

// A name of length bytes (which may be in buffer already) copied into
// buffer with its NUL, masked so that it cannot end the line it is shown
// in or fake another.
const char* maskedName(const unsigned char* name, std::uint32_t length,
                       char* buffer) {
  std::memmove(buffer, name, length);
  buffer[length] = '\0';
  maskControlBytes(buffer);
  return buffer;
}

}  // namespace

CabStatus readFileTable(const CabinetSource& source, Cabinet* cabinet) {
  cabinet->source = source;
  if (cabinet->filesOffset > cabinet->cabinetSize) {
    reportCabinet(source, "Damaged cabinet: file table outside the cabinet");
    return CabStatus::Damaged;
  }
  const std::uint32_t span = cabinet->cabinetSize - cabinet->filesOffset;
  TableWindow window = {nullptr, 0, 0, nullptr};
  if (source.image != nullptr) {
    cabinet->fileTable = source.image + cabinet->filesOffset;
    window.bytes = cabinet->fileTable;
    window.size = span;
  } else {
    // Only the records are kept; the names are read again when asked for.
    window.buffer = static_cast<unsigned char*>(allocCabinetTable(
        source, span < kFileWindowSize ? span : kFileWindowSize, 1));
    if (window.buffer == nullptr) return CabStatus::NoMemory;
  }
  CabStatus status = CabStatus::Ok;
  cabinet->members = static_cast<CabMember*>(
      allocCabinetTable(source, cabinet->fileCount, sizeof(CabMember)));
  if (cabinet->members == nullptr) status = CabStatus::NoMemory;

  std::uint32_t position = 0;  // inside the table
  for (std::uint16_t i = 0; i < cabinet->fileCount && status == CabStatus::Ok;
       ++i) {
    CabMember& file = cabinet->members[i];
    if (!rangeInside(position, kFileEntrySize, span)) {
      reportCabinet(source, "Damaged cabinet: file table outside the cabinet");
      status = CabStatus::Damaged;
      break;
    }
    // The entry and as much of its name as there can be, in one window.
    const std::uint32_t nameStart = position + kFileEntrySize;
    std::uint32_t room = span - nameStart;
    if (room > kMaxNameSize) room = kMaxNameSize;
    const unsigned char* entry = windowAt(source, *cabinet, span, position,
                                          kFileEntrySize + room, &window);
    if (entry == nullptr) {
      status = CabStatus::ReadFailed;
      break;
    }
    file.entryOffset = cabinet->filesOffset + position;
    file.size = readLE32(entry + kFileSize);
    file.folderOffset = readLE32(entry + kFileFolderOffset);
    file.folder = readLE16(entry + kFileFolder);
    // The name ends at its NUL, within 256 bytes and inside the table,
    // and is not empty.
    const unsigned char* nameBytes = entry + kFileEntrySize;
    const void* nul = std::memchr(nameBytes, 0, room);
    if (nul == nullptr && room == kMaxNameSize) {
      reportCabinet(source,
                    "Damaged cabinet: name of file %u is longer than %u "
                    "bytes",
                    i, kMaxNameSize - 1);
      status = CabStatus::Damaged;
      break;
    }
    if (nul == nullptr) {
      reportCabinet(source, "Damaged cabinet: name of file %u has no end", i);
      status = CabStatus::Damaged;
      break;
    }
    file.nameLength = static_cast<std::uint16_t>(
        static_cast<const unsigned char*>(nul) - nameBytes);
    if (file.nameLength == 0) {
      reportCabinet(source, "Damaged cabinet: name of file %u is empty", i);
      status = CabStatus::Damaged;
      break;
    }
    position = nameStart + file.nameLength + 1;
    if (isSetupXmlName(nameBytes, file.nameLength) &&
        cabinet->setupXmlCount++ == 0)
      cabinet->setupXmlIndex = i;

    char name[kMaxNameSize];
    if (file.folder >= kFirstContinuedFolder) {
      reportCabinet(source,
                    "Cabinet not handled: file \"%s\" continues in another "
                    "cabinet",
                    maskedName(nameBytes, file.nameLength, name));
      status = CabStatus::Unhandled;
    } else if (file.folder >= cabinet->folderCount) {
      reportCabinet(source,
                    "Damaged cabinet: file \"%s\" names folder %u, which "
                    "does not exist",
                    maskedName(nameBytes, file.nameLength, name), file.folder);
      status = CabStatus::Damaged;
    } else if (!rangeInside(file.folderOffset, file.size,
                            cabinet->folders[file.folder].uncompressedSize)) {
      reportCabinet(source,
                    "Damaged cabinet: file \"%s\" lies outside its folder",
                    maskedName(nameBytes, file.nameLength, name));
      status = CabStatus::Damaged;
    }
  }
  freeBlock(window.buffer);
  if (status == CabStatus::Ok)
    cabinet->fileTableEnd = cabinet->filesOffset + position;
  return status;
}

const char* cabFileName(const Cabinet& cabinet, std::uint32_t index,
                        char* buffer) {
  const CabMember& file = cabinet.members[index];
  const std::uint32_t nameOffset = file.entryOffset + kFileEntrySize;
  if (cabinet.fileTable != nullptr)
    return reinterpret_cast<const char*>(
        cabinet.fileTable + (nameOffset - cabinet.filesOffset));
  // The reader made sure the name and its NUL fit kMaxNameSize bytes inside
  // the cabinet. A file that changed since may hold another name there.
  const CabinetSource& source = cabinet.source;
  const std::uint32_t size = file.nameLength + 1u;
  if (!source.readAt(source.context, nameOffset, buffer, size))
    return nullptr;
  if (std::memchr(buffer, 0, size) != buffer + file.nameLength) {
    reportCabinet(source, "File changed while it was read");
    return nullptr;
  }
  return buffer;
}

const char* nameForError(const Cabinet& cabinet, std::uint32_t index,
                         char* buffer) {
  const char* name = cabFileName(cabinet, index, buffer);
  if (name == nullptr) return nullptr;
  // Wherever the line goes, a name cannot end it or fake another.
  return maskedName(reinterpret_cast<const unsigned char*>(name),
                    cabinet.members[index].nameLength, buffer);
}


// Cabinet.cpp - reading a cabinet's structure and streaming its folders.
//
// The walk follows the file's own order: header, reserve sizes and header
// reserve, folder table, the data blocks of each folder, file table. Before
// each record the position is checked against cbCabinet (which itself may
// not pass the end of the file), so nothing outside the cabinet is read.
#include "cabinet/Cabinet.h"

#include <algorithm>  // std::sort: structures by position
#include <cstdarg>
#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/Checksum.h"
#include "header/Endian.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

using namespace CabFormat;

namespace {

// One failure line on the error stream, unless the source is quiet.
void report(const CabinetSource& source, const char* format, ...) {
  if (source.quiet) return;
  va_list args;
  va_start(args, format);
  writeLine(gConsole.error, format, args, true);
  va_end(args);
}

// A zero-filled block for count items of size bytes, or null after a line.
// At least one byte is asked for, so an empty table is not a failure.
void* allocTable(const CabinetSource& source, std::uint64_t count,
                 std::uint64_t size) {
  const std::uint64_t bytes = count * size == 0 ? 1 : count * size;
  void* block = bytes > 0xFFFFFFFFull
                    ? nullptr
                    : allocZeroed(static_cast<std::size_t>(bytes));
  if (block == nullptr)
    report(source, "Cannot allocate %u bytes for cabinet data",
           static_cast<std::uint32_t>(bytes > 0xFFFFFFFFull ? 0xFFFFFFFFull
                                                            : bytes));
  return block;
}

// True when size bytes at offset lie inside the first end bytes.
bool inside(std::uint32_t offset, std::uint64_t size, std::uint32_t end) {
  return offset <= end && size <= end - offset;
}

// The size bytes at offset (inside the file): a pointer into the image, or
// buffer after reading them there. Null after the reader's error line.
const unsigned char* fetch(const CabinetSource& source, std::uint32_t offset,
                           std::uint32_t size, unsigned char* buffer) {
  if (source.image != nullptr) return source.image + offset;
  if (size == 0) return buffer;
  if (!source.readAt(source.context, offset, buffer, size)) return nullptr;
  return buffer;
}

// A copy of the size bytes at offset, owned by the caller (freeBlock), or
// the image itself. Null after a line.
const unsigned char* fetchOwned(const CabinetSource& source,
                                std::uint32_t offset, std::uint32_t size,
                                unsigned char** owned, CabStatus* status) {
  if (source.image != nullptr) return source.image + offset;
  *owned = static_cast<unsigned char*>(allocTable(source, size, 1));
  if (*owned == nullptr) {
    *status = CabStatus::NoMemory;
    return nullptr;
  }
  if (size != 0 && !source.readAt(source.context, offset, *owned, size)) {
    *status = CabStatus::ReadFailed;
    return nullptr;
  }
  return *owned;
}

CabStatus readHeader(const CabinetSource& source, Cabinet* cabinet) {
  unsigned char header[kHeaderSize + kReserveSizesSize];
  if (source.fileSize < kHeaderSize) {
    report(source, "Damaged cabinet: %u bytes, too short for its header",
           source.fileSize);
    return CabStatus::Damaged;
  }
  const unsigned char* h = fetch(source, 0, kHeaderSize, header);
  if (h == nullptr) return CabStatus::ReadFailed;
  if (readLE32(h + kSignature) != kSignatureValue) {
    report(source, "Damaged cabinet: no cabinet signature");
    return CabStatus::Damaged;
  }
  cabinet->cabinetSize = readLE32(h + kCabinetSize);
  cabinet->filesOffset = readLE32(h + kFilesOffset);
  cabinet->folderCount = readLE16(h + kFolderCount);
  cabinet->fileCount = readLE16(h + kFileCount);
  cabinet->flags = readLE16(h + kFlags);
  if (cabinet->cabinetSize > source.fileSize ||
      cabinet->cabinetSize < kHeaderSize) {
    report(source,
           "Damaged cabinet: cabinet size %u does not fit the file (%u bytes)",
           cabinet->cabinetSize, source.fileSize);
    return CabStatus::Damaged;
  }
  // The neighbours' names would follow; the tool handles single cabinets.
  if ((cabinet->flags & (kHasPrevious | kHasNext)) != 0) {
    report(source, "Cabinet not handled: part of a cabinet set");
    return CabStatus::Unhandled;
  }

  std::uint32_t position = kHeaderSize;
  if ((cabinet->flags & kReservePresent) != 0) {
    if (!inside(position, kReserveSizesSize, cabinet->cabinetSize)) {
      report(source, "Damaged cabinet: header outside the cabinet");
      return CabStatus::Damaged;
    }
    const unsigned char* sizes =
        fetch(source, position, kReserveSizesSize, header + kHeaderSize);
    if (sizes == nullptr) return CabStatus::ReadFailed;
    cabinet->headerReserveSize = readLE16(sizes);
    cabinet->folderReserveSize = sizes[2];
    cabinet->dataReserveSize = sizes[3];
    position += kReserveSizesSize;
    cabinet->headerReserveOffset = position;
    if (!inside(position, cabinet->headerReserveSize, cabinet->cabinetSize)) {
      report(source, "Damaged cabinet: header reserve outside the cabinet");
      return CabStatus::Damaged;
    }
    position += cabinet->headerReserveSize;
  }

  cabinet->folderTableOffset = position;
  const std::uint64_t tableSize =
      std::uint64_t{cabinet->folderCount} *
      (kFolderEntrySize + cabinet->folderReserveSize);
  if (!inside(position, tableSize, cabinet->cabinetSize)) {
    report(source, "Damaged cabinet: folder table outside the cabinet");
    return CabStatus::Damaged;
  }
  cabinet->folderTableEnd = position + static_cast<std::uint32_t>(tableSize);

  // Read in ranges, the folder entries are taken one by one (readFolders):
  // their reserves, up to 255 bytes each, are not kept.
  CabStatus status = CabStatus::ReadFailed;
  cabinet->head = fetchOwned(source, 0,
                             source.image != nullptr
                                 ? cabinet->folderTableEnd
                                 : cabinet->folderTableOffset,
                             &cabinet->ownedHead, &status);
  if (cabinet->head == nullptr) return status;

  // A signed cabinet marks its header reserve and keeps the signature
  // behind cbCabinet.
  const unsigned char* reserve = cabinet->head + cabinet->headerReserveOffset;
  if ((cabinet->flags & kReservePresent) != 0 &&
      cabinet->headerReserveSize == kSignatureReserveSize &&
      readLE32(reserve) == kSignatureMarker) {
    cabinet->isSigned = true;
    cabinet->signatureSize = readLE32(reserve + kSignatureLength);
    if (readLE32(reserve + kSignatureOffset) != cabinet->cabinetSize ||
        cabinet->signatureSize > source.fileSize - cabinet->cabinetSize) {
      report(source, "Damaged cabinet: signature outside the file");
      return CabStatus::Damaged;
    }
  }
  return CabStatus::Ok;
}

// Reads the header of block index of folder at offset into *block and
// checks it: the record lies inside the cabinet, the block does not
// continue in another cabinet and holds 1 to 32 KiB (a stored one as many
// bytes as it has). uncompressedStart is left to the caller.
CabStatus readBlockHeader(const CabinetSource& source, const Cabinet& cabinet,
                          std::uint16_t folder, std::uint32_t index,
                          std::uint32_t offset, CabBlock* block) {
  const std::uint32_t reserve = cabinet.dataReserveSize;
  if (!inside(offset, kBlockHeaderSize + reserve, cabinet.cabinetSize)) {
    report(source, "Damaged cabinet: block %u of folder %u outside the "
           "cabinet", index, folder);
    return CabStatus::Damaged;
  }
  unsigned char header[kBlockHeaderSize];
  const unsigned char* h = fetch(source, offset, kBlockHeaderSize, header);
  if (h == nullptr) return CabStatus::ReadFailed;
  block->offset = offset;
  block->checksum = readLE32(h + kBlockChecksum);
  block->dataSize = readLE16(h + kBlockDataSize);
  block->uncompressedSize = readLE16(h + kBlockUncompressed);
  block->reserveSummed = false;
  if (!inside(offset, std::uint64_t{kBlockHeaderSize} + reserve +
                          block->dataSize, cabinet.cabinetSize)) {
    report(source, "Damaged cabinet: block %u of folder %u outside the "
           "cabinet", index, folder);
    return CabStatus::Damaged;
  }
  if (block->uncompressedSize == 0) {
    report(source, "Cabinet not handled: block %u of folder %u continues "
           "in another cabinet", index, folder);
    return CabStatus::Unhandled;
  }
  if (block->uncompressedSize > kMaxBlockUncompressed ||
      (cabinet.folders[folder].compression == kCompressionStored &&
       block->dataSize != block->uncompressedSize)) {
    report(source, "Damaged cabinet: block %u of folder %u has a bad size",
           index, folder);
    return CabStatus::Damaged;
  }
  return CabStatus::Ok;
}

CabStatus readFolders(const CabinetSource& source, Cabinet* cabinet) {
  cabinet->folders = static_cast<CabFolder*>(
      allocTable(source, cabinet->folderCount, sizeof(CabFolder)));
  if (cabinet->folders == nullptr) return CabStatus::NoMemory;

  std::uint64_t totalBlocks = 0;
  const std::uint32_t entrySize =
      kFolderEntrySize + cabinet->folderReserveSize;
  for (std::uint16_t i = 0; i < cabinet->folderCount; ++i) {
    CabFolder& folder = cabinet->folders[i];
    folder.entryOffset = cabinet->folderTableOffset + i * entrySize;
    unsigned char buffer[kFolderEntrySize];
    const unsigned char* entry =
        source.image != nullptr
            ? cabinet->head + folder.entryOffset
            : fetch(source, folder.entryOffset, kFolderEntrySize, buffer);
    if (entry == nullptr) return CabStatus::ReadFailed;
    folder.dataOffset = readLE32(entry + kFolderDataOffset);
    folder.blockCount = readLE16(entry + kFolderBlockCount);
    const std::uint16_t type = readLE16(entry + kFolderCompression);
    folder.compression = type & kCompressionMask;
    if (folder.compression == kCompressionQuantum ||
        folder.compression == kCompressionLzx) {
      report(source, "Cabinet not handled: folder %u is %s-compressed", i,
             folder.compression == kCompressionLzx ? "LZX" : "Quantum");
      return CabStatus::Unhandled;
    }
    if (folder.compression != kCompressionStored &&
        folder.compression != kCompressionMszip) {
      report(source,
             "Cabinet not handled: folder %u uses compression type %u", i,
             static_cast<unsigned>(type));
      return CabStatus::Unhandled;
    }
    totalBlocks += folder.blockCount;
  }
  // Every block takes at least its header: more cannot be in the cabinet.
  if (totalBlocks * kBlockHeaderSize > cabinet->cabinetSize) {
    report(source, "Damaged cabinet: data blocks outside the cabinet");
    return CabStatus::Damaged;
  }

  // Each folder's blocks follow one another from its first; their headers
  // are checked here and read again as the folder is streamed.
  const std::uint32_t reserve = cabinet->dataReserveSize;
  for (std::uint16_t i = 0; i < cabinet->folderCount; ++i) {
    CabFolder& folder = cabinet->folders[i];
    std::uint32_t offset = folder.dataOffset;
    std::uint32_t stream = 0;
    for (std::uint16_t k = 0; k < folder.blockCount; ++k) {
      CabBlock block;
      const CabStatus status =
          readBlockHeader(source, *cabinet, i, k, offset, &block);
      if (status != CabStatus::Ok) return status;
      const std::uint32_t record = kBlockHeaderSize + reserve + block.dataSize;
      if (record > cabinet->largestRecord) cabinet->largestRecord = record;
      if (k + 1 < folder.blockCount &&
          block.uncompressedSize < kMaxBlockUncompressed)
        folder.shortBlock = true;
      offset += record;
      stream += block.uncompressedSize;
    }
    folder.dataEnd = offset;
    folder.uncompressedSize = stream;
  }
  return CabStatus::Ok;
}

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

CabStatus readFiles(const CabinetSource& source, Cabinet* cabinet) {
  cabinet->source = source;
  if (cabinet->filesOffset > cabinet->cabinetSize) {
    report(source, "Damaged cabinet: file table outside the cabinet");
    return CabStatus::Damaged;
  }
  const std::uint32_t span = cabinet->cabinetSize - cabinet->filesOffset;
  TableWindow window = {nullptr, 0, 0, nullptr};
  if (source.image != nullptr) {
    cabinet->files = source.image + cabinet->filesOffset;
    window.bytes = cabinet->files;
    window.size = span;
  } else {
    // Only the records are kept; the names are read again when asked for.
    window.buffer = static_cast<unsigned char*>(allocTable(
        source, span < kFileWindowSize ? span : kFileWindowSize, 1));
    if (window.buffer == nullptr) return CabStatus::NoMemory;
  }
  CabStatus status = CabStatus::Ok;
  cabinet->fileEntries = static_cast<CabFile*>(
      allocTable(source, cabinet->fileCount, sizeof(CabFile)));
  if (cabinet->fileEntries == nullptr) status = CabStatus::NoMemory;

  std::uint32_t position = 0;  // inside the table
  for (std::uint16_t i = 0; i < cabinet->fileCount && status == CabStatus::Ok;
       ++i) {
    CabFile& file = cabinet->fileEntries[i];
    if (!inside(position, kFileEntrySize, span)) {
      report(source, "Damaged cabinet: file table outside the cabinet");
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
      report(source, "Damaged cabinet: name of file %u is longer than %u "
             "bytes", i, kMaxNameSize - 1);
      status = CabStatus::Damaged;
      break;
    }
    if (nul == nullptr) {
      report(source, "Damaged cabinet: name of file %u has no end", i);
      status = CabStatus::Damaged;
      break;
    }
    file.nameLength = static_cast<std::uint16_t>(
        static_cast<const unsigned char*>(nul) - nameBytes);
    if (file.nameLength == 0) {
      report(source, "Damaged cabinet: name of file %u is empty", i);
      status = CabStatus::Damaged;
      break;
    }
    position = nameStart + file.nameLength + 1;

    char name[kMaxNameSize];
    if (file.folder >= kFirstContinuedFolder) {
      report(source, "Cabinet not handled: file \"%s\" continues in another "
             "cabinet", maskedName(nameBytes, file.nameLength, name));
      status = CabStatus::Unhandled;
    } else if (file.folder >= cabinet->folderCount) {
      report(source, "Damaged cabinet: file \"%s\" names folder %u, which "
             "does not exist", maskedName(nameBytes, file.nameLength, name),
             file.folder);
      status = CabStatus::Damaged;
    } else if (!inside(file.folderOffset, file.size,
                       cabinet->folders[file.folder].uncompressedSize)) {
      report(source, "Damaged cabinet: file \"%s\" lies outside its folder",
             maskedName(nameBytes, file.nameLength, name));
      status = CabStatus::Damaged;
    }
  }
  freeBlock(window.buffer);
  if (status == CabStatus::Ok)
    cabinet->fileTableEnd = cabinet->filesOffset + position;
  return status;
}

// A structure's place in the file, for the overlap check.
struct Extent {
  std::uint32_t start;
  std::uint32_t end;
};

}  // namespace

Cabinet::Cabinet() { std::memset(static_cast<void*>(this), 0, sizeof *this); }

Cabinet::~Cabinet() {
  freeBlock(folders);
  freeBlock(fileEntries);
  freeBlock(ownedHead);
}

bool isCabinetSignature(const unsigned char* bytes, std::uint32_t size) {
  return size >= 4 && readLE32(bytes) == kSignatureValue;
}

CabStatus readCabinet(const CabinetSource& source, Cabinet* cabinet) {
  cabinet->fileSize = source.fileSize;
  CabStatus status = readHeader(source, cabinet);
  if (status == CabStatus::Ok) status = readFolders(source, cabinet);
  if (status == CabStatus::Ok) status = readFiles(source, cabinet);
  return status;
}

CabStatus readCabinetHeader(const CabinetSource& source, Cabinet* cabinet) {
  cabinet->fileSize = source.fileSize;
  return readHeader(source, cabinet);
}

CabStatus checkNothingBehind(const CabinetSource& source,
                             const Cabinet& cabinet) {
  const std::uint32_t end =
      cabinet.cabinetSize + (cabinet.isSigned ? cabinet.signatureSize : 0);
  if (cabinet.fileSize > end) {
    report(source, "Cabinet not handled: %u unknown bytes behind its end",
           cabinet.fileSize - end);
    return CabStatus::Unhandled;
  }
  return CabStatus::Ok;
}

CabStatus checkCabinetLayout(const CabinetSource& source,
                             const Cabinet& cabinet) {
  // The header with the folder table, the file table and every folder's
  // blocks each have their own bytes.
  Extent* extents = static_cast<Extent*>(
      allocTable(source, std::uint64_t{cabinet.folderCount} + 2,
                 sizeof(Extent)));
  if (extents == nullptr) return CabStatus::NoMemory;
  std::uint32_t count = 0;
  extents[count++] = {0, cabinet.folderTableEnd};
  if (cabinet.fileTableEnd > cabinet.filesOffset)
    extents[count++] = {cabinet.filesOffset, cabinet.fileTableEnd};
  for (std::uint16_t i = 0; i < cabinet.folderCount; ++i) {
    const CabFolder& folder = cabinet.folders[i];
    if (folder.dataEnd > folder.dataOffset)
      extents[count++] = {folder.dataOffset, folder.dataEnd};
  }
  std::sort(extents, extents + count, [](const Extent& a, const Extent& b) {
    return a.start < b.start;
  });
  bool overlap = false;
  for (std::uint32_t i = 1; i < count; ++i)
    overlap = overlap || extents[i].start < extents[i - 1].end;
  freeBlock(extents);
  if (overlap) {
    report(source, "Damaged cabinet: two of its structures overlap");
    return CabStatus::Damaged;
  }
  return checkNothingBehind(source, cabinet);
}

CabStatus checkWholeCabinet(const CabinetSource& source, Cabinet* cabinet,
                            bool decode) {
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  reader.decode = decode;
  CabStatus status = CabStatus::Ok;
  for (std::uint16_t i = 0; i < cabinet->folderCount; ++i) {
    status = startFolder(&reader, i);
    while (status == CabStatus::Ok &&
           reader.nextBlock < cabinet->folders[i].blockCount)
      status = readFolderBlock(&reader);
    if (status != CabStatus::Ok) break;
  }
  closeFolder(&reader);
  if (status != CabStatus::Ok) return status;
  return checkCabinetLayout(source, *cabinet);
}

const char* cabFileName(const Cabinet& cabinet, std::uint32_t index,
                        char* buffer) {
  const CabFile& file = cabinet.fileEntries[index];
  const std::uint32_t nameOffset = file.entryOffset + kFileEntrySize;
  if (cabinet.files != nullptr)
    return reinterpret_cast<const char*>(
        cabinet.files + (nameOffset - cabinet.filesOffset));
  // The reader made sure the name and its NUL fit kMaxNameSize bytes inside
  // the cabinet. A file that changed since may hold another name there.
  const CabinetSource& source = cabinet.source;
  const std::uint32_t size = file.nameLength + 1u;
  if (!source.readAt(source.context, nameOffset, buffer, size))
    return nullptr;
  if (std::memchr(buffer, 0, size) != buffer + file.nameLength) {
    report(source, "File changed while it was read");
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
                    cabinet.fileEntries[index].nameLength, buffer);
}

const char* compressionName(std::uint16_t compression) {
  return compression == kCompressionMszip ? "MSZIP" : "stored";
}

bool checkBlockSum(const unsigned char* record, std::uint8_t reserveSize,
                   CabBlock* block) {
  block->reserveSummed = false;
  if (block->checksum == 0) return true;  // written without a checksum
  const unsigned char* sizes = record + kBlockDataSize;
  if (blockChecksum(sizes, record + kBlockHeaderSize + reserveSize,
                    block->dataSize) == block->checksum)
    return true;
  // Some writers may sum the block reserve along with the data.
  if (reserveSize != 0 &&
      blockChecksum(sizes, record + kBlockHeaderSize,
                    reserveSize + std::uint32_t{block->dataSize}) ==
          block->checksum) {
    block->reserveSummed = true;
    return true;
  }
  return false;
}

std::uint32_t sumBlockLike(const unsigned char* record,
                           std::uint8_t reserveSize, const CabBlock& block) {
  if (block.checksum == 0) return 0;
  const std::uint32_t dataSize = readLE16(record + kBlockDataSize);
  if (block.reserveSummed)
    return blockChecksum(record + kBlockDataSize, record + kBlockHeaderSize,
                         reserveSize + dataSize);
  return blockChecksum(record + kBlockDataSize,
                       record + kBlockHeaderSize + reserveSize, dataSize);
}

void initFolderReader(FolderReader* reader, const CabinetSource& source,
                      Cabinet* cabinet) {
  std::memset(reader, 0, sizeof *reader);
  reader->source = &source;
  reader->cabinet = cabinet;
  reader->decode = true;
}

CabStatus startFolder(FolderReader* reader, std::uint16_t folder) {
  const CabinetSource& source = *reader->source;
  const CabFolder& entry = reader->cabinet->folders[folder];
  reader->folder = folder;
  reader->nextBlock = 0;
  reader->nextOffset = entry.dataOffset;
  reader->dataStart = 0;
  reader->dataSize = 0;
  reader->blockSize = 0;
  if (source.image == nullptr && reader->scratch == nullptr) {
    reader->scratch = static_cast<unsigned char*>(
        allocTable(source, reader->cabinet->largestRecord, 1));
    if (reader->scratch == nullptr) return CabStatus::NoMemory;
  }
  if (entry.compression != kCompressionMszip || !reader->decode)
    return CabStatus::Ok;
  if (reader->decoder == nullptr) {
    reader->decoder = createMszipDecoder();
    if (reader->decoder == nullptr) {
      report(source, "Cannot allocate %u bytes for cabinet data",
             static_cast<std::uint32_t>(4 * kMszipWindow));
      return CabStatus::NoMemory;
    }
  }
  resetMszipHistory(reader->decoder);
  return CabStatus::Ok;
}

CabStatus extendFolderBlock(FolderReader* reader, std::uint32_t wanted) {
  if (!reader->decode) return CabStatus::Ok;
  if (wanted > reader->blockSize) wanted = reader->blockSize;
  if (wanted <= reader->dataSize) return CabStatus::Ok;
  const CabinetSource& source = *reader->source;
  const std::uint32_t index = reader->nextBlock - 1;
  if (!produceMszipBlock(reader->decoder, wanted)) {
    report(source, "Damaged cabinet: block %u of folder %u does not decode",
           index, static_cast<unsigned>(reader->folder));
    return CabStatus::Damaged;
  }
  reader->dataSize = wanted;
  const char* difference = wanted == reader->blockSize && reader->checkReadings
                               ? mszipDifference(reader->decoder)
                               : nullptr;
  if (difference != nullptr) {
    report(source, "Cabinet not handled: block %u of folder %u decodes "
           "differently in other readers (%s)", index,
           static_cast<unsigned>(reader->folder), difference);
    return CabStatus::Unhandled;
  }
  return CabStatus::Ok;
}

CabStatus readFolderBlock(FolderReader* reader, std::uint32_t wanted) {
  // The block before is the history of this one.
  CabStatus status = extendFolderBlock(reader, kWholeBlock);
  if (status != CabStatus::Ok) return status;

  const CabinetSource& source = *reader->source;
  const Cabinet& cabinet = *reader->cabinet;
  const CabFolder& folder = cabinet.folders[reader->folder];
  const std::uint32_t index = reader->nextBlock;
  CabBlock& block = reader->block;
  // Read again: a file read in ranges may have changed since readCabinet.
  status = readBlockHeader(source, cabinet, reader->folder, index,
                           reader->nextOffset, &block);
  if (status != CabStatus::Ok) return status;
  const std::uint32_t reserve = cabinet.dataReserveSize;
  const std::uint32_t size = kBlockHeaderSize + reserve + block.dataSize;
  if (size > cabinet.largestRecord) {
    report(source, "Damaged cabinet: block %u of folder %u has a bad size",
           index, static_cast<unsigned>(reader->folder));
    return CabStatus::Damaged;
  }
  const unsigned char* record =
      fetch(source, block.offset, size, reader->scratch);
  if (record == nullptr) return CabStatus::ReadFailed;
  if (!checkBlockSum(record, cabinet.dataReserveSize, &block)) {
    report(source, "Damaged cabinet: checksum mismatch in block %u of folder "
           "%u", index, static_cast<unsigned>(reader->folder));
    return CabStatus::Damaged;
  }
  block.uncompressedStart = reader->dataStart + reader->blockSize;
  const unsigned char* payload = record + kBlockHeaderSize + reserve;
  ++reader->nextBlock;
  reader->nextOffset += size;
  reader->record = record;
  reader->dataStart = block.uncompressedStart;
  reader->blockSize = block.uncompressedSize;
  reader->dataSize = 0;
  if (!reader->decode) return CabStatus::Ok;
  if (folder.compression == kCompressionStored) {
    reader->data = payload;
    reader->dataSize = block.uncompressedSize;
    return CabStatus::Ok;
  }
  if (!beginMszipBlock(reader->decoder, payload, block.dataSize,
                       block.uncompressedSize, reader->checkReadings)) {
    report(source, "Damaged cabinet: block %u of folder %u does not decode",
           index, static_cast<unsigned>(reader->folder));
    return CabStatus::Damaged;
  }
  reader->data = mszipBlockOutput(reader->decoder);
  return extendFolderBlock(reader, wanted);
}

void closeFolder(FolderReader* reader) {
  destroyMszipDecoder(reader->decoder);
  freeBlock(reader->scratch);
  reader->decoder = nullptr;
  reader->scratch = nullptr;
}

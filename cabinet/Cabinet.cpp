// Cabinet.cpp - reading a cabinet's structure: the header, the folders
// with the headers of their data blocks, and (FileTable.cpp) the members.
//
// The walk follows the file's own order: header, reserve sizes and header
// reserve, folder table, the data blocks of each folder, file table. Before
// each record the position is checked against cbCabinet (which itself may
// not pass the end of the file), so nothing outside the cabinet is read.
#include "cabinet/Cabinet.h"

#include <algorithm>  // std::sort: structures by position
#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/FileTable.h"
#include "header/Endian.h"
#include "runtime/Runtime.h"

using namespace CabFormat;

namespace {

// A copy of the size bytes at offset, owned by the caller (freeBlock), or
// the image itself. Null after a line.
const unsigned char* fetchOwned(const CabinetSource& source,
                                std::uint32_t offset, std::uint32_t size,
                                unsigned char** owned, CabStatus* status) {
  if (source.image != nullptr) return source.image + offset;
  *owned = static_cast<unsigned char*>(allocCabinetTable(source, size, 1));
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
    reportCabinet(source, "Damaged cabinet: %u bytes, too short for its header",
                  source.fileSize);
    return CabStatus::Damaged;
  }
  const unsigned char* h = fetchCabinetBytes(source, 0, kHeaderSize, header);
  if (h == nullptr) return CabStatus::ReadFailed;
  if (readLE32(h + kSignature) != kSignatureValue) {
    reportCabinet(source, "Damaged cabinet: no cabinet signature");
    return CabStatus::Damaged;
  }
  cabinet->cabinetSize = readLE32(h + kCabinetSize);
  cabinet->filesOffset = readLE32(h + kFilesOffset);
  cabinet->folderCount = readLE16(h + kFolderCount);
  cabinet->fileCount = readLE16(h + kFileCount);
  cabinet->flags = readLE16(h + kFlags);
  if (cabinet->cabinetSize > source.fileSize ||
      cabinet->cabinetSize < kHeaderSize) {
    reportCabinet(
        source,
        "Damaged cabinet: cabinet size %u does not fit the file (%u bytes)",
        cabinet->cabinetSize, source.fileSize);
    return CabStatus::Damaged;
  }
  // The neighbours' names would follow; the tool handles single cabinets.
  if ((cabinet->flags & (kHasPrevious | kHasNext)) != 0) {
    reportCabinet(source, "Cabinet not handled: part of a cabinet set");
    return CabStatus::Unhandled;
  }

  std::uint32_t position = kHeaderSize;
  if ((cabinet->flags & kReservePresent) != 0) {
    if (!rangeInside(position, kReserveSizesSize, cabinet->cabinetSize)) {
      reportCabinet(source, "Damaged cabinet: header outside the cabinet");
      return CabStatus::Damaged;
    }
    const unsigned char* sizes = fetchCabinetBytes(
        source, position, kReserveSizesSize, header + kHeaderSize);
    if (sizes == nullptr) return CabStatus::ReadFailed;
    cabinet->headerReserveSize = readLE16(sizes);
    cabinet->folderReserveSize = sizes[2];
    cabinet->dataReserveSize = sizes[3];
    position += kReserveSizesSize;
    cabinet->headerReserveOffset = position;
    if (!rangeInside(position, cabinet->headerReserveSize,
                     cabinet->cabinetSize)) {
      reportCabinet(source,
                    "Damaged cabinet: header reserve outside the cabinet");
      return CabStatus::Damaged;
    }
    position += cabinet->headerReserveSize;
  }

  cabinet->folderTableOffset = position;
  const std::uint64_t tableSize =
      std::uint64_t{cabinet->folderCount} *
      (kFolderEntrySize + cabinet->folderReserveSize);
  if (!rangeInside(position, tableSize, cabinet->cabinetSize)) {
    reportCabinet(source, "Damaged cabinet: folder table outside the cabinet");
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
      reportCabinet(source, "Damaged cabinet: signature outside the file");
      return CabStatus::Damaged;
    }
  }
  return CabStatus::Ok;
}

CabStatus readFolders(const CabinetSource& source, Cabinet* cabinet) {
  cabinet->folders = static_cast<CabFolder*>(
      allocCabinetTable(source, cabinet->folderCount, sizeof(CabFolder)));
  if (cabinet->folders == nullptr) return CabStatus::NoMemory;

  std::uint64_t totalBlocks = 0;
  const std::uint32_t entrySize =
      kFolderEntrySize + cabinet->folderReserveSize;
  for (std::uint16_t i = 0; i < cabinet->folderCount; ++i) {
    CabFolder& folder = cabinet->folders[i];
    folder.entryOffset = cabinet->folderTableOffset + i * entrySize;
    unsigned char buffer[kFolderEntrySize];
    const unsigned char* entry =
        source.image != nullptr ? cabinet->head + folder.entryOffset
                                : fetchCabinetBytes(source, folder.entryOffset,
                                                    kFolderEntrySize, buffer);
    if (entry == nullptr) return CabStatus::ReadFailed;
    folder.dataOffset = readLE32(entry + kFolderDataOffset);
    folder.blockCount = readLE16(entry + kFolderBlockCount);
    const std::uint16_t type = readLE16(entry + kFolderCompression);
    folder.compression = type & kCompressionMask;
    if (folder.compression == kCompressionQuantum ||
        folder.compression == kCompressionLzx) {
      reportCabinet(source, "Cabinet not handled: folder %u is %s-compressed",
                    i,
                    folder.compression == kCompressionLzx ? "LZX" : "Quantum");
      return CabStatus::Unhandled;
    }
    if (folder.compression != kCompressionStored &&
        folder.compression != kCompressionMszip) {
      reportCabinet(source,
                    "Cabinet not handled: folder %u uses compression type %u",
                    i, static_cast<unsigned>(type));
      return CabStatus::Unhandled;
    }
    totalBlocks += folder.blockCount;
  }
  // Every block takes at least its header: more cannot be in the cabinet.
  if (totalBlocks * kBlockHeaderSize > cabinet->cabinetSize) {
    reportCabinet(source, "Damaged cabinet: data blocks outside the cabinet");
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

// A structure's place in the file, for the overlap check.
struct Extent {
  std::uint32_t start;
  std::uint32_t end;
};

}  // namespace

Cabinet::Cabinet() { std::memset(static_cast<void*>(this), 0, sizeof *this); }

Cabinet::~Cabinet() {
  freeBlock(folders);
  freeBlock(members);
  freeBlock(ownedHead);
}

bool isCabinetSignature(const unsigned char* bytes, std::uint32_t size) {
  return size >= 4 && readLE32(bytes) == kSignatureValue;
}

CabStatus readCabinet(const CabinetSource& source, Cabinet* cabinet) {
  cabinet->fileSize = source.fileSize;
  CabStatus status = readHeader(source, cabinet);
  if (status == CabStatus::Ok) status = readFolders(source, cabinet);
  if (status == CabStatus::Ok) status = readFileTable(source, cabinet);
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
    reportCabinet(source,
                  "Cabinet not handled: %u unknown bytes behind its end",
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
      allocCabinetTable(source, std::uint64_t{cabinet.folderCount} + 2,
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
    reportCabinet(source, "Damaged cabinet: two of its structures overlap");
    return CabStatus::Damaged;
  }
  return checkNothingBehind(source, cabinet);
}

// Reads the header of block index of folder at offset into *block and
// checks it: the record lies inside the cabinet, the block does not
// continue in another cabinet and holds 1 to 32 KiB (a stored one as many
// bytes as it has). uncompressedStart is left to the caller.
CabStatus readBlockHeader(const CabinetSource& source, const Cabinet& cabinet,
                          std::uint16_t folder, std::uint32_t index,
                          std::uint32_t offset, CabBlock* block) {
  const std::uint32_t reserve = cabinet.dataReserveSize;
  if (!rangeInside(offset, kBlockHeaderSize + reserve, cabinet.cabinetSize)) {
    reportCabinet(source, "Damaged cabinet: block %u of folder %u outside the "
                  "cabinet", index, folder);
    return CabStatus::Damaged;
  }
  unsigned char header[kBlockHeaderSize];
  const unsigned char* h =
      fetchCabinetBytes(source, offset, kBlockHeaderSize, header);
  if (h == nullptr) return CabStatus::ReadFailed;
  block->offset = offset;
  block->checksum = readLE32(h + kBlockChecksum);
  block->dataSize = readLE16(h + kBlockDataSize);
  block->uncompressedSize = readLE16(h + kBlockUncompressed);
  block->reserveSummed = false;
  if (!rangeInside(offset, std::uint64_t{kBlockHeaderSize} + reserve +
                          block->dataSize, cabinet.cabinetSize)) {
    reportCabinet(source, "Damaged cabinet: block %u of folder %u outside the "
                  "cabinet", index, folder);
    return CabStatus::Damaged;
  }
  if (block->uncompressedSize == 0) {
    reportCabinet(source,
                  "Cabinet not handled: block %u of folder %u continues "
                  "in another cabinet",
                  index, folder);
    return CabStatus::Unhandled;
  }
  if (block->uncompressedSize > kMaxBlockUncompressed ||
      (cabinet.folders[folder].compression == kCompressionStored &&
       block->dataSize != block->uncompressedSize)) {
    reportCabinet(source,
                  "Damaged cabinet: block %u of folder %u has a bad size",
                  index, folder);
    return CabStatus::Damaged;
  }
  return CabStatus::Ok;
}

const char* compressionName(std::uint16_t compression) {
  return compression == kCompressionMszip ? "MSZIP" : "stored";
}


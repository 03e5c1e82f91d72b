// Rebuild.cpp - assembling the new image of a changed cabinet.
//
// The image is described as the original with a few edits, each replacing
// one range of the original (a block record, the signature's reserve) by
// new bytes. A position of the original that no edit covers moves by the
// size changes of the edits before it; the fields that hold positions
// (cbCabinet, coffFiles, coffCabStart) are then written anew.
#include "cabinet/Rebuild.h"

#include <algorithm>  // std::sort: edits by position
#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

using namespace CabFormat;

namespace {

// One range of the original replaced by new bytes.
struct Edit {
  std::uint32_t oldOffset;
  std::uint32_t oldSize;
  std::uint32_t newSize;
  const unsigned char* bytes;
  std::int64_t shift;  // size change of this edit and all before it
};

// Owns what the rebuild allocates, on every path.
struct Work {
  Edit* edits = nullptr;
  std::uint32_t editCount = 0;
  unsigned char* window = nullptr;   // uncompressed stream around the change
  unsigned char* records = nullptr;  // new block records
  ~Work() {
    freeBlock(edits);
    freeBlock(window);
    freeBlock(records);
  }
};

void* allocOrReport(std::uint64_t size) {
  void* block = size > 0xFFFFFFFFull
                    ? nullptr
                    : allocZeroed(static_cast<std::size_t>(size == 0 ? 1 : size));
  if (block == nullptr)
    reportError("Cannot allocate %u bytes for cabinet data",
                static_cast<std::uint32_t>(size > 0xFFFFFFFFull ? 0xFFFFFFFFull
                                                                : size));
  return block;
}

// Where a position of the original lands in the new image: it moves by
// the size changes of the edits that end at or before it. The edits are
// sorted and do not overlap, so their ends are sorted too.
std::uint32_t mapOffset(const Work& work, std::uint32_t offset) {
  const Edit* end = std::upper_bound(
      work.edits, work.edits + work.editCount, offset,
      [](std::uint32_t position, const Edit& edit) {
        return position < edit.oldOffset + std::uint64_t{edit.oldSize};
      });
  if (end == work.edits) return offset;
  return static_cast<std::uint32_t>(offset + (end - 1)->shift);
}

// The text a header reference points at in the setup file: up to its NUL
// or the end of the file.
void memberText(const unsigned char* member, std::uint32_t size,
                std::uint32_t field, const unsigned char** text,
                std::uint32_t* length) {
  const HeaderText reference = readHeaderText(member, field);
  *text = member + reference.offset;
  *length = 0;
  while (reference.offset + *length < size && (*text)[*length] != 0)
    ++*length;
}

// True when the copy's text at offset (length bytes, counted from the
// start of the folder entry of entrySize bytes) equals the setup file's.
bool copyTextMatches(const unsigned char* entry, std::uint32_t entrySize,
                     std::uint32_t offset, std::uint32_t length,
                     const unsigned char* text, std::uint32_t textLength) {
  if (offset < kFolderEntrySize || offset > entrySize ||
      length > entrySize - offset)
    return false;
  const unsigned char* copy = entry + offset;
  std::uint32_t copyLength = 0;
  while (copyLength < length && copy[copyLength] != 0) ++copyLength;
  return copyLength == textLength &&
         std::memcmp(copy, text, textLength) == 0;
}

// The index of the block of folder holding stream position.
std::uint32_t blockAt(const CabFolder& folder, std::uint32_t position) {
  std::uint32_t k = 0;
  while (k + 1 < folder.blockCount &&
         folder.blocks[k + 1].uncompressedStart <= position)
    ++k;
  return k;
}

// Encodes the blocks first..last of the setup file's folder anew (or, in a
// stored folder, patches them) from the new stream held in work.window,
// which starts at stream position windowStart, and adds one edit each.
CabStatus rewriteBlocks(const CabinetSource& source, const Cabinet& cabinet,
                        const CabFolder& folder, std::uint32_t first,
                        std::uint32_t last, std::uint32_t windowStart,
                        Work* work) {
  const std::uint32_t reserve = cabinet.dataReserveSize;
  const bool stored = folder.compression == kCompressionStored;
  const std::uint64_t recordRoom =
      kBlockHeaderSize + reserve +
      std::uint64_t{stored ? kMaxBlockUncompressed : kMaxWrittenMszipData};
  work->records = static_cast<unsigned char*>(
      allocOrReport(recordRoom * (last - first + 1)));
  if (work->records == nullptr) return CabStatus::NoMemory;

  unsigned char* record = work->records;
  for (std::uint32_t k = first; k <= last; ++k) {
    const CabBlock& block = folder.blocks[k];
    const unsigned char* old = source.image + block.offset;
    std::memcpy(record, old, kBlockHeaderSize + reserve);
    unsigned char* data = record + kBlockHeaderSize + reserve;
    const unsigned char* bytes =
        work->window + (block.uncompressedStart - windowStart);
    std::uint32_t dataSize = block.uncompressedSize;
    if (stored) {
      std::memcpy(data, bytes, dataSize);
    } else {
      // The history is the new stream's last 32 KiB before the block.
      const std::uint32_t historyStart =
          block.uncompressedStart - windowStart > kMszipWindow
              ? block.uncompressedStart - kMszipWindow
              : windowStart;
      if (encodeMszipBlock(work->window + (historyStart - windowStart),
                           block.uncompressedStart - historyStart, bytes,
                           block.uncompressedSize, data,
                           &dataSize) != MszipEncode::Ok) {
        reportError("Cannot allocate memory to compress cabinet data");
        return CabStatus::NoMemory;
      }
      writeLE16(record + kBlockDataSize, static_cast<std::uint16_t>(dataSize));
    }
    writeLE32(record + kBlockChecksum,
              sumBlockLike(record, cabinet.dataReserveSize, block));
    work->edits[work->editCount++] = {
        block.offset, kBlockHeaderSize + reserve + block.dataSize,
        kBlockHeaderSize + reserve + dataSize, record, 0};
    record += recordRoom;
  }
  return CabStatus::Ok;
}

// Puts the changed header bytes [first, last) of the setup file into its
// folder: the blocks that hold them, and in an MSZIP folder those that may
// refer back to them.
CabStatus changeFolder(const CabinetSource& source, Cabinet* cabinet,
                       const RebuildRequest& request, std::uint32_t first,
                       std::uint32_t last, Work* work, bool* reencoded) {
  const CabFile& file = cabinet->fileEntries[request.member->index];
  const CabFolder& folder = cabinet->folders[file.folder];
  const bool stored = folder.compression == kCompressionStored;
  const std::uint32_t changeStart = file.folderOffset + first;
  const std::uint32_t changeEnd = file.folderOffset + last;

  const std::uint32_t firstBlock = blockAt(folder, changeStart);
  std::uint32_t lastBlock = blockAt(folder, changeEnd - 1);
  if (!stored) {
    while (lastBlock + 1 < folder.blockCount &&
           folder.blocks[lastBlock + 1].uncompressedStart <
               std::uint64_t{changeEnd} + kMszipWindow)
      ++lastBlock;
  }
  const CabBlock& firstRecord = folder.blocks[firstBlock];
  const CabBlock& lastRecord = folder.blocks[lastBlock];
  std::uint32_t windowStart = firstRecord.uncompressedStart;
  if (!stored)
    windowStart = windowStart > kMszipWindow ? windowStart - kMszipWindow : 0;
  const std::uint32_t windowEnd =
      lastRecord.uncompressedStart + lastRecord.uncompressedSize;

  work->window =
      static_cast<unsigned char*>(allocOrReport(windowEnd - windowStart));
  if (work->window == nullptr) return CabStatus::NoMemory;

  // The original stream over the window: an MSZIP folder decodes from its
  // start, a stored one is read where the window begins.
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  CabStatus status = startFolder(&reader, file.folder);
  if (stored) reader.nextBlock = blockAt(folder, windowStart);
  while (status == CabStatus::Ok && reader.nextBlock <= lastBlock) {
    status = readFolderBlock(&reader);
    if (status != CabStatus::Ok) break;
    const std::uint32_t s = reader.dataStart;
    const std::uint32_t e = s + reader.dataSize;
    const std::uint32_t from = s > windowStart ? s : windowStart;
    if (e > from)
      std::memcpy(work->window + (from - windowStart),
                  reader.data + (from - s), e - from);
  }
  closeFolder(&reader);
  if (status != CabStatus::Ok) return status;

  std::memcpy(work->window + (changeStart - windowStart),
              request.newHeader + first, last - first);
  *reencoded = !stored;
  return rewriteBlocks(source, *cabinet, folder, firstBlock, lastBlock,
                       windowStart, work);
}

}  // namespace

bool archCopyMatches(const Cabinet& cabinet, const unsigned char* member,
                     std::uint32_t memberSize) {
  if (cabinet.folderCount == 0 || cabinet.folderReserveSize < kCopySize)
    return false;
  const unsigned char* entry = cabinet.head + cabinet.folders[0].entryOffset;
  const unsigned char* copy = entry + kFolderEntrySize;
  const std::uint32_t entrySize = kFolderEntrySize + cabinet.folderReserveSize;
  if (readLE32(copy + kCopyArchitecture) !=
      readLE32(member + SetupHeader::kArchitecture))
    return false;
  const unsigned char* text;
  std::uint32_t length;
  memberText(member, memberSize, SetupHeader::kAppNameText, &text, &length);
  if (!copyTextMatches(entry, entrySize, readLE32(copy + kCopyAppName),
                       readLE32(copy + kCopyAppName + 4), text, length))
    return false;
  memberText(member, memberSize, SetupHeader::kProviderText, &text, &length);
  return copyTextMatches(entry, entrySize, readLE32(copy + kCopyProvider),
                         readLE32(copy + kCopyProvider + 4), text, length);
}

CabStatus rebuildCabinet(const CabinetSource& source, Cabinet* cabinet,
                         const RebuildRequest& request,
                         RebuildResult* result) {
  std::memset(result, 0, sizeof *result);
  const unsigned char* oldHeader = request.member->bytes;
  const unsigned char* newHeader = request.newHeader;

  // The changed bytes of the setup file's header, if any.
  std::uint32_t first = SetupHeader::kSize, last = 0;
  for (std::uint32_t i = 0; i < SetupHeader::kSize; ++i) {
    if (oldHeader[i] == newHeader[i]) continue;
    if (i < first) first = i;
    last = i + 1;
  }

  Work work;
  const CabFile& file = cabinet->fileEntries[request.member->index];
  const CabFolder& folder = cabinet->folders[file.folder];
  // One edit per block at most, and one for the signature.
  work.edits = static_cast<Edit*>(
      allocOrReport((std::uint64_t{folder.blockCount} + 1) * sizeof(Edit)));
  if (work.edits == nullptr) return CabStatus::NoMemory;

  if (first < last) {
    const CabStatus status = changeFolder(source, cabinet, request, first,
                                          last, &work, &result->reencoded);
    if (status != CabStatus::Ok) return status;
  }

  // Folder 0's copy of the architecture follows the setup file's, when it
  // is a faithful copy.
  const std::uint32_t oldArch = readLE32(oldHeader + SetupHeader::kArchitecture);
  const std::uint32_t newArch = readLE32(newHeader + SetupHeader::kArchitecture);
  result->archCopyUpdated =
      oldArch != newArch &&
      archCopyMatches(*cabinet, request.member->bytes, request.member->size);

  // The signature goes with its reserve; the reserve sizes go too when no
  // other reserve is left.
  bool clearReserveFlag = false;
  if (request.removeSignature && cabinet->isSigned) {
    result->signatureRemoved = true;
    clearReserveFlag =
        cabinet->folderReserveSize == 0 && cabinet->dataReserveSize == 0;
    if (clearReserveFlag) {
      work.edits[work.editCount++] = {
          kHeaderSize, kReserveSizesSize + cabinet->headerReserveSize, 0,
          nullptr, 0};
    } else {
      work.edits[work.editCount++] = {cabinet->headerReserveOffset,
                                      cabinet->headerReserveSize, 0, nullptr,
                                      0};
    }
  }

  if (work.editCount == 0 && !result->archCopyUpdated) {
    result->unchanged = true;
    return CabStatus::Ok;
  }

  std::sort(work.edits, work.edits + work.editCount,
            [](const Edit& a, const Edit& b) {
              return a.oldOffset < b.oldOffset;
            });
  std::int64_t shift = 0;
  for (std::uint32_t i = 0; i < work.editCount; ++i) {
    Edit& edit = work.edits[i];
    shift += std::int64_t{edit.newSize} - edit.oldSize;
    edit.shift = shift;
  }
  const std::uint32_t end = cabinet->cabinetSize;  // the signature stays out
  const std::uint32_t newSize = mapOffset(work, end);
  unsigned char* image = static_cast<unsigned char*>(allocOrReport(newSize));
  if (image == nullptr) return CabStatus::NoMemory;

  // The original's bytes around the edits, and the edits' bytes.
  std::uint32_t from = 0, to = 0;
  for (std::uint32_t i = 0; i < work.editCount; ++i) {
    const Edit& edit = work.edits[i];
    std::memcpy(image + to, source.image + from, edit.oldOffset - from);
    to += edit.oldOffset - from;
    if (edit.newSize != 0) std::memcpy(image + to, edit.bytes, edit.newSize);
    to += edit.newSize;
    from = edit.oldOffset + edit.oldSize;
  }
  std::memcpy(image + to, source.image + from, end - from);

  // The fields that hold positions.
  writeLE32(image + kCabinetSize, newSize);
  writeLE32(image + kFilesOffset, mapOffset(work, cabinet->filesOffset));
  if (result->signatureRemoved) {
    if (clearReserveFlag) {
      writeLE16(image + kFlags,
                static_cast<std::uint16_t>(cabinet->flags & ~kReservePresent));
    } else {
      writeLE16(image + kHeaderSize, 0);  // cbCFHeader
    }
  }
  for (std::uint16_t i = 0; i < cabinet->folderCount; ++i) {
    const CabFolder& each = cabinet->folders[i];
    unsigned char* entry = image + mapOffset(work, each.entryOffset);
    // A folder without blocks points nowhere that is read; it stays.
    if (each.blockCount != 0)
      writeLE32(entry + kFolderDataOffset, mapOffset(work, each.dataOffset));
    if (i == 0 && result->archCopyUpdated)
      writeLE32(entry + kFolderEntrySize + kCopyArchitecture, newArch);
  }
  result->image = image;
  result->size = newSize;
  return CabStatus::Ok;
}

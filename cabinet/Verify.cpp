// Verify.cpp - the check of a rebuilt cabinet image against the original,
// before the image may replace it.
//
// The new image is read back with the same reader, quietly, every block's
// checksum included, and compared with the original field by field. Blocks
// are decoded only where the change made them: each block the pass wrote
// anew was decoded back as it was made (newBlockHoldsChange); here it must
// be the image's, byte for byte, and every other block must be the
// original's. That is enough where every block but the last holds 32 KiB:
// a kept block then refers back no further than 32 KiB, and the run of new
// blocks reaches that far behind the last changed byte. A setup file's
// folder with a shorter block is streamed whole in both images instead,
// the new one in both readings; only there does the run also hold blocks
// copied as they are (those that refer back to nothing), which that
// stream then proves.
#include "cabinet/Verify.h"

#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/FolderReader.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"

using namespace CabFormat;

namespace {

bool fail(const char* reason) {
  reportError("Cannot verify the new cabinet (%s); the cabinet is unchanged",
              reason);
  return false;
}

// True when header byte i of the setup file lies in a field asked for.
bool inAskedField(const ChangeRequest& changes, std::uint32_t i) {
  auto within = [i](std::uint32_t field) {
    return i >= field && i < field + 4;
  };
  if (changes.archGiven && within(SetupHeader::kArchitecture)) return true;
  // The list's length, behind its offset.
  if (changes.clearPlatforms && i >= SetupHeader::kPlatformsText + 2 &&
      i < SetupHeader::kPlatformsText + 4)
    return true;
  if (changes.minVersionGiven &&
      (within(SetupHeader::kMinVersionMajor) ||
       within(SetupHeader::kMinVersionMinor) ||
       within(SetupHeader::kMinVersionBuild)))
    return true;
  return changes.maxVersionGiven &&
         (within(SetupHeader::kMaxVersionMajor) ||
          within(SetupHeader::kMaxVersionMinor) ||
          within(SetupHeader::kMaxVersionBuild));
}

// The size of the block record at offset of a cabinet in memory, whose
// reader has checked every block header.
std::uint32_t recordSize(const unsigned char* image, const Cabinet& cabinet,
                         std::uint32_t offset) {
  return kBlockHeaderSize + cabinet.dataReserveSize +
         readLE16(image + offset + kBlockDataSize);
}

// The structure: what must be equal, and what may differ only as asked.
bool sameStructure(const CabinetSource& oldSource, const Cabinet& old,
                   const CabinetSource& newSource, const Cabinet& rebuilt,
                   const RebuildRequest& request,
                   const RebuildResult& result) {
  if (rebuilt.isSigned || rebuilt.cabinetSize != result.size ||
      rebuilt.folderCount != old.folderCount ||
      rebuilt.fileCount != old.fileCount ||
      rebuilt.folderReserveSize != old.folderReserveSize ||
      rebuilt.dataReserveSize != old.dataReserveSize)
    return false;
  // The header but for the positions and the flags.
  if (std::memcmp(old.head, rebuilt.head, kCabinetSize) != 0 ||
      std::memcmp(old.head + 12, rebuilt.head + 12, 4) != 0 ||
      std::memcmp(old.head + 20, rebuilt.head + 20, kFlags - 20) != 0 ||
      std::memcmp(old.head + kSetId, rebuilt.head + kSetId,
                  kHeaderSize - kSetId) != 0)
    return false;
  std::uint16_t flags = old.flags;
  if (result.signatureRemoved && old.folderReserveSize == 0 &&
      old.dataReserveSize == 0)
    flags = static_cast<std::uint16_t>(flags & ~kReservePresent);
  if (rebuilt.flags != flags) return false;
  if (result.signatureRemoved) {
    if (rebuilt.headerReserveSize != 0) return false;
  } else if (rebuilt.headerReserveSize != old.headerReserveSize ||
             std::memcmp(old.head + old.headerReserveOffset,
                         rebuilt.head + rebuilt.headerReserveOffset,
                         old.headerReserveSize) != 0) {
    return false;
  }

  // The file table, byte for byte.
  const std::uint32_t tableSize = old.fileTableEnd - old.filesOffset;
  if (rebuilt.fileTableEnd - rebuilt.filesOffset != tableSize ||
      std::memcmp(old.fileTable, rebuilt.fileTable, tableSize) != 0)
    return false;

  for (std::uint16_t i = 0; i < old.folderCount; ++i) {
    const CabFolder& a = old.folders[i];
    const CabFolder& b = rebuilt.folders[i];
    if (a.compression != b.compression || a.blockCount != b.blockCount ||
        a.uncompressedSize != b.uncompressedSize)
      return false;
    if (a.compression == kCompressionStored &&
        a.dataEnd - a.dataOffset != b.dataEnd - b.dataOffset)
      return false;
    // Block by block, the same uncompressed sizes.
    std::uint32_t x = a.dataOffset, y = b.dataOffset;
    for (std::uint16_t k = 0; k < a.blockCount; ++k) {
      if (readLE16(oldSource.image + x + kBlockUncompressed) !=
          readLE16(newSource.image + y + kBlockUncompressed))
        return false;
      x += recordSize(oldSource.image, old, x);
      y += recordSize(newSource.image, rebuilt, y);
    }
    // The folder reserve; folder 0's may carry the new architecture.
    const unsigned char* ra = old.head + a.entryOffset + kFolderEntrySize;
    const unsigned char* rb = rebuilt.head + b.entryOffset + kFolderEntrySize;
    std::uint32_t from = 0;
    if (i == 0 && result.archCopyUpdated) {
      if (readLE32(rb) !=
          readLE32(request.newHeader + SetupHeader::kArchitecture))
        return false;
      from = 4;
    }
    if (std::memcmp(ra + from, rb + from, old.folderReserveSize - from) != 0)
      return false;
  }
  // Stored folders and an untouched signature keep the file's length.
  return result.reencoded || result.signatureRemoved ||
         result.size == old.fileSize;
}

// True when folder i's block records (header, reserve, data) are the same
// bytes in both images. Decoding the same bytes from the same start gives
// the same output, and the original's folders all decoded alike in both
// readings before the change, so such a folder needs no decoding.
bool sameRecords(const CabinetSource& oldSource, const Cabinet& old,
                 const CabinetSource& newSource, const Cabinet& rebuilt,
                 std::uint16_t i) {
  const CabFolder& a = old.folders[i];
  const CabFolder& b = rebuilt.folders[i];
  const std::uint32_t size = a.dataEnd - a.dataOffset;
  return b.dataEnd - b.dataOffset == size &&
         std::memcmp(oldSource.image + a.dataOffset,
                     newSource.image + b.dataOffset, size) == 0;
}

// The setup file's folder block by block: the pass's new blocks where it
// made them, the original's records elsewhere, and no kept block that may
// refer back to a changed byte. Names the first disagreement in *reason.
bool sameSetupFolder(const CabinetSource& oldSource, const Cabinet& old,
                     const CabinetSource& newSource, const Cabinet& rebuilt,
                     const NewBlocks& blocks, const char** reason) {
  const CabFolder& a = old.folders[blocks.folder];
  const bool mszip = a.compression == kCompressionMszip;
  std::uint32_t x = a.dataOffset, y = rebuilt.folders[blocks.folder].dataOffset;
  std::uint32_t made = 0;  // into blocks.records
  std::uint32_t start = 0;
  *reason = "a block differs from the original";
  for (std::uint32_t k = 0; k < a.blockCount; ++k) {
    const std::uint32_t oldSize = recordSize(oldSource.image, old, x);
    const std::uint32_t newSize = recordSize(newSource.image, rebuilt, y);
    const std::uint32_t end =
        start + readLE16(oldSource.image + x + kBlockUncompressed);
    if (k >= blocks.first && k - blocks.first < blocks.count) {
      if (newSize > blocks.size - made ||
          std::memcmp(newSource.image + y, blocks.records + made, newSize) != 0)
        return false;
      made += newSize;
    } else {
      if (newSize != oldSize ||
          std::memcmp(newSource.image + y, oldSource.image + x, newSize) != 0)
        return false;
      // A kept block neither holds a changed byte nor, in an MSZIP folder,
      // starts within 32 KiB behind one.
      const std::uint64_t reach =
          std::uint64_t{blocks.changeEnd} + (mszip ? kMszipWindow : 0);
      if (blocks.changeEnd != 0 && end > blocks.changeStart && start < reach) {
        *reason = "a kept block may refer to a changed byte";
        return false;
      }
    }
    x += oldSize;
    y += newSize;
    start = end;
  }
  return made == blocks.size;
}

// Streams folder i of both cabinets side by side, the new one in both
// readings. Inside the setup file's header the new stream must hold the
// new header, elsewhere the old bytes.
bool sameStream(FolderReader* a, FolderReader* b, std::uint16_t i,
                const RebuildRequest& request) {
  const Cabinet& old = *a->cabinet;
  const std::uint32_t headerStart =
      old.members[request.member->index].folderOffset;
  bool same = startFolder(a, i) == CabStatus::Ok &&
              startFolder(b, i) == CabStatus::Ok;
  while (same && a->nextBlock < old.folders[i].blockCount) {
    same = readFolderBlock(a) == CabStatus::Ok &&
           readFolderBlock(b) == CabStatus::Ok && a->dataSize == b->dataSize &&
           newBlockHoldsChange(b->data, a->data, a->dataStart, a->dataSize,
                               headerStart, request.newHeader);
  }
  return same;
}

}  // namespace

bool newBlockHoldsChange(const unsigned char* decoded,
                         const unsigned char* original, std::uint32_t start,
                         std::uint32_t size, std::uint32_t headerStart,
                         const unsigned char* header) {
  // The header's part of the block, [from, to) counted from its start.
  const std::uint64_t headerEnd =
      std::uint64_t{headerStart} + SetupHeader::kSize;
  std::uint32_t from = headerStart > start ? headerStart - start : 0;
  if (from > size) from = size;
  std::uint32_t to = headerEnd > start ? static_cast<std::uint32_t>(
                                             headerEnd - start)
                                       : 0;
  if (to > size) to = size;
  if (to < from) to = from;
  for (std::uint32_t i = from; i < to; ++i) {
    if (decoded[i] != header[start + i - headerStart]) return false;
  }
  return std::memcmp(decoded, original, from) == 0 &&
         std::memcmp(decoded + to, original + to, size - to) == 0;
}

bool verifyRebuild(const CabinetSource& source, Cabinet* cabinet,
                   const RebuildRequest& request, const ChangePass& pass,
                   const RebuildResult& result) {
  const NewBlocks& blocks = pass.blocks;
  if (blocks.problem != nullptr) return fail(blocks.problem);
  const CabinetSource fresh = {result.image, result.size, nullptr, nullptr,
                               true};
  Cabinet rebuilt;
  if (readCabinet(fresh, &rebuilt) != CabStatus::Ok ||
      checkWholeCabinet(fresh, &rebuilt, false) != CabStatus::Ok)
    return fail("it does not read back");
  if (!sameStructure(source, *cabinet, fresh, rebuilt, request, result))
    return fail("its structure differs from the original");

  // The setup file's header differs only in the fields asked for, and the
  // new blocks hold that header.
  const unsigned char* oldHeader = request.member->bytes;
  const bool changed =
      std::memcmp(oldHeader, request.newHeader, SetupHeader::kSize) != 0;
  for (std::uint32_t i = 0; i < SetupHeader::kSize; ++i) {
    if (oldHeader[i] != request.newHeader[i] &&
        !inAskedField(*request.changes, i))
      return fail("the setup file differs outside the fields asked for");
  }
  if (changed != (blocks.changeEnd != 0) ||
      (changed && std::memcmp(blocks.header, request.newHeader,
                              SetupHeader::kSize) != 0))
    return fail("the new blocks hold another header");
  // No other member may hold a byte that changed.
  const CabMember& setup = cabinet->members[request.member->index];
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    const CabMember& other = cabinet->members[i];
    if (i == request.member->index || other.folder != setup.folder) continue;
    for (std::uint32_t p = 0; p < SetupHeader::kSize; ++p) {
      const std::uint32_t at = setup.folderOffset + p;
      if (oldHeader[p] != request.newHeader[p] && at >= other.folderOffset &&
          at - other.folderOffset < other.size)
        return fail("another member shares a changed byte");
    }
  }

  for (std::uint16_t i = 0; i < cabinet->folderCount; ++i) {
    if (i != setup.folder &&
        !sameRecords(source, *cabinet, fresh, rebuilt, i))
      return fail("a folder's content differs from the original");
  }
  const char* reason = nullptr;
  if (!sameSetupFolder(source, *cabinet, fresh, rebuilt, blocks, &reason))
    return fail(reason);
  const CabFolder& folder = cabinet->folders[setup.folder];
  if (folder.compression != kCompressionMszip || !folder.shortBlock)
    return true;

  FolderReader a, b;
  initFolderReader(&a, source, cabinet);
  initFolderReader(&b, fresh, &rebuilt);
  b.checkReadings = true;
  const bool same = sameStream(&a, &b, setup.folder, request);
  closeFolder(&a);
  closeFolder(&b);
  return same || fail("a folder's content differs from the original");
}

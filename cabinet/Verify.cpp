// Verify.cpp - the check of a rebuilt cabinet image against the original,
// before the image may replace it.
//
// The new image is read back with the same reader, quietly, and compared
// with the original field by field. The setup file's folder is then
// streamed in both side by side and compared byte by byte, where only the
// changed fields of its header may differ; every other folder must be the
// original's blocks, byte for byte.
#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/Rebuild.h"
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
  auto within = [i](std::uint32_t field) { return i >= field && i < field + 4; };
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

// The structure: what must be equal, and what may differ only as asked.
bool sameStructure(const Cabinet& old, const Cabinet& rebuilt,
                   const RebuildRequest& request, const RebuildResult& result) {
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
      std::memcmp(old.files, rebuilt.files, tableSize) != 0)
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
    for (std::uint16_t k = 0; k < a.blockCount; ++k) {
      if (a.blocks[k].uncompressedSize != b.blocks[k].uncompressedSize)
        return false;
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
// the same output, and the original's folders all decoded before the
// change, so such a folder needs no decoding to be known good and equal.
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

// Streams folder i of both cabinets side by side. Inside the setup file's
// header the new stream must hold the new header, elsewhere the old bytes.
bool sameFolder(FolderReader* a, FolderReader* b, std::uint16_t i,
                const RebuildRequest& request) {
  const Cabinet& old = *a->cabinet;
  const CabFile& file = old.fileEntries[request.member->index];
  const bool holdsSetup = file.folder == i;
  const std::uint32_t headerStart = file.folderOffset;
  const std::uint32_t headerEnd = headerStart + SetupHeader::kSize;
  if (!holdsSetup)
    return sameRecords(*a->source, old, *b->source, *b->cabinet, i);

  bool same = startFolder(a, i) == CabStatus::Ok &&
              startFolder(b, i) == CabStatus::Ok;
  while (same && a->nextBlock < old.folders[i].blockCount) {
    same = readFolderBlock(a) == CabStatus::Ok &&
           readFolderBlock(b) == CabStatus::Ok && a->dataSize == b->dataSize;
    if (!same) break;
    const std::uint32_t s = a->dataStart;
    const std::uint32_t e = s + a->dataSize;
    if (!holdsSetup || e <= headerStart || s >= headerEnd) {
      same = std::memcmp(a->data, b->data, a->dataSize) == 0;
      continue;
    }
    for (std::uint32_t p = s; p < e && same; ++p) {
      const unsigned char expected =
          (p >= headerStart && p < headerEnd)
              ? request.newHeader[p - headerStart]
              : a->data[p - s];
      same = b->data[p - s] == expected;
    }
  }
  return same;
}

}  // namespace

bool verifyRebuild(const CabinetSource& source, Cabinet* cabinet,
                   const RebuildRequest& request, const RebuildResult& result) {
  const CabinetSource fresh = {result.image, result.size, nullptr, nullptr,
                               true};
  Cabinet rebuilt;
  if (readCabinet(fresh, &rebuilt) != CabStatus::Ok ||
      checkWholeCabinet(fresh, &rebuilt, false) != CabStatus::Ok)
    return fail("it does not read back");
  if (!sameStructure(*cabinet, rebuilt, request, result))
    return fail("its structure differs from the original");

  // The setup file's header differs only in the fields asked for.
  for (std::uint32_t i = 0; i < SetupHeader::kSize; ++i) {
    if (request.member->bytes[i] != request.newHeader[i] &&
        !inAskedField(*request.changes, i))
      return fail("the setup file differs outside the fields asked for");
  }
  // No other member may hold a byte that changed.
  const CabFile& setup = cabinet->fileEntries[request.member->index];
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    const CabFile& other = cabinet->fileEntries[i];
    if (i == request.member->index || other.folder != setup.folder) continue;
    for (std::uint32_t p = 0; p < SetupHeader::kSize; ++p) {
      const std::uint32_t at = setup.folderOffset + p;
      if (request.member->bytes[p] != request.newHeader[p] &&
          at >= other.folderOffset && at - other.folderOffset < other.size)
        return fail("another member shares a changed byte");
    }
  }
  FolderReader a, b;
  initFolderReader(&a, source, cabinet);
  initFolderReader(&b, fresh, &rebuilt);
  bool same = true;
  for (std::uint16_t i = 0; same && i < cabinet->folderCount; ++i)
    same = sameFolder(&a, &b, i, request);
  closeFolder(&a);
  closeFolder(&b);
  return same || fail("a folder's content differs from the original");
}

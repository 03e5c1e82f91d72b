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
#include "cabinet/FolderRelayout.h"
#include "cabinet/SetupXmlMember.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

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

// The file table of an image whose setup XML changed size: the original's
// bytes but for the setup XML's size and the places of the members behind
// it in its folder, moved by as much.
bool sameMovedFileTable(const Cabinet& old, const Cabinet& rebuilt,
                        const ChangePass& pass) {
  const std::uint32_t tableSize = old.fileTableEnd - old.filesOffset;
  auto* expected = static_cast<unsigned char*>(allocZeroed(tableSize + 1));
  if (expected == nullptr) return false;
  std::memcpy(expected, old.fileTable, tableSize);
  const CabMember& xml = old.members[pass.xml.copy.index];
  for (std::uint32_t i = 0; i < old.fileCount; ++i) {
    const CabMember& member = old.members[i];
    unsigned char* entry = expected + (member.entryOffset - old.filesOffset);
    if (i == pass.xml.copy.index) {
      writeLE32(entry + kFileSize, pass.xml.plan.newSize);
    } else if (member.folder == xml.folder &&
               member.folderOffset >= xml.folderOffset + xml.size) {
      writeLE32(entry + kFileFolderOffset,
                static_cast<std::uint32_t>(member.folderOffset +
                                           pass.relayout.shift));
    }
  }
  const bool same =
      std::memcmp(expected, rebuilt.fileTable, tableSize) == 0;
  freeBlock(expected);
  return same;
}

// The structure: what must be equal, and what may differ only as asked.
bool sameStructure(const CabinetSource& oldSource, const Cabinet& old,
                   const CabinetSource& newSource, const Cabinet& rebuilt,
                   const RebuildRequest& request, const ChangePass& pass,
                   const RebuildResult& result) {
  const FolderRelayout& relayout = pass.relayout;
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

  // The file table, byte for byte; where the setup XML changed size, with
  // its new size and the members behind it moved.
  const std::uint32_t tableSize = old.fileTableEnd - old.filesOffset;
  if (rebuilt.fileTableEnd - rebuilt.filesOffset != tableSize) return false;
  if (!result.relaid) {
    if (std::memcmp(old.fileTable, rebuilt.fileTable, tableSize) != 0)
      return false;
  } else if (!sameMovedFileTable(old, rebuilt, pass)) {
    return false;
  }

  for (std::uint16_t i = 0; i < old.folderCount; ++i) {
    const CabFolder& a = old.folders[i];
    const CabFolder& b = rebuilt.folders[i];
    // A folder laid out anew keeps its blocks before the first replaced.
    const bool relaid = result.relaid && i == relayout.folder;
    const std::uint32_t blocks =
        relaid ? relayout.first + relayout.count : a.blockCount;
    const std::uint64_t size =
        relaid ? static_cast<std::uint64_t>(a.uncompressedSize +
                                            relayout.shift)
               : a.uncompressedSize;
    if (a.compression != b.compression || b.blockCount != blocks ||
        b.uncompressedSize != size)
      return false;
    if (a.compression == kCompressionStored && !relaid &&
        a.dataEnd - a.dataOffset != b.dataEnd - b.dataOffset)
      return false;
    // Block by block, the same uncompressed sizes.
    std::uint32_t x = a.dataOffset, y = b.dataOffset;
    const std::uint32_t kept = relaid ? relayout.first : a.blockCount;
    for (std::uint32_t k = 0; k < kept; ++k) {
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
  return result.reencoded || result.relaid || result.signatureRemoved ||
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

// The setup file's header differs only in the fields asked for, no other
// member holds a byte that changed, and (unless the relayout of its folder
// wrote it) the new blocks hold that header. Names the first disagreement.
bool sameSetupHeader(const Cabinet& cabinet, const RebuildRequest& request,
                     const NewBlocks& blocks, bool relaid,
                     const char** reason) {
  const unsigned char* oldHeader = request.member->bytes;
  const bool changed =
      std::memcmp(oldHeader, request.newHeader, SetupHeader::kSize) != 0;
  for (std::uint32_t i = 0; i < SetupHeader::kSize; ++i) {
    if (oldHeader[i] != request.newHeader[i] &&
        !inAskedField(*request.changes, i)) {
      *reason = "the setup file differs outside the fields asked for";
      return false;
    }
  }
  if (!relaid && (changed != (blocks.changeEnd != 0) ||
                  (changed && std::memcmp(blocks.header, request.newHeader,
                                          SetupHeader::kSize) != 0))) {
    *reason = "the new blocks hold another header";
    return false;
  }
  const CabMember& setup = cabinet.members[request.member->index];
  for (std::uint32_t i = 0; i < cabinet.fileCount; ++i) {
    const CabMember& other = cabinet.members[i];
    if (i == request.member->index || other.folder != setup.folder) continue;
    for (std::uint32_t p = 0; p < SetupHeader::kSize; ++p) {
      const std::uint32_t at = setup.folderOffset + p;
      if (oldHeader[p] != request.newHeader[p] && at >= other.folderOffset &&
          at - other.folderOffset < other.size) {
        *reason = "another member shares a changed byte";
        return false;
      }
    }
  }
  return true;
}

// The setup XML's new document reads back with the values asked for and
// the others as they were, and differs from the old one only inside the
// values replaced.
bool newDocumentHolds(const ChangePass& pass, const ChangeRequest& changes,
                      const char** reason) {
  *reason = "the new setup XML does not hold the values asked for";
  const SetupXmlChange& change = pass.xml;
  auto* document =
      static_cast<unsigned char*>(allocZeroed(change.plan.newSize + 1));
  if (document == nullptr) return false;
  writeSetupXmlEdit(change.copy.bytes, change.copy.size, change.plan, 0,
                    change.plan.newSize, document);
  const bool holds =
      setupXmlEditHolds(change, changes, document, change.plan.newSize);
  freeBlock(document);
  return holds;
}

// The records of the folder laid out anew, from its first block replaced,
// are the relayout's.
bool sameRelaidRecords(const CabinetSource& newSource, const Cabinet& rebuilt,
                       const FolderRelayout& relayout) {
  const CabFolder& folder = rebuilt.folders[relayout.folder];
  std::uint32_t y = folder.dataOffset;
  for (std::uint32_t k = 0; k < relayout.first; ++k)
    y += recordSize(newSource.image, rebuilt, y);
  return folder.dataEnd - y == relayout.size &&
         std::memcmp(newSource.image + y, relayout.records, relayout.size) ==
             0;
}

// The bytes a folder laid out anew must decode to, made from the old
// folder's bytes as they are streamed, and waiting in a queue until the new
// folder's bytes are there to be compared.
struct ExpectedBytes {
  unsigned char* bytes;
  std::uint32_t size;  // used, from the start of bytes
  std::uint32_t room;
  std::uint32_t head;  // compared already
};

bool pushExpected(ExpectedBytes* queue, const unsigned char* bytes,
                  std::uint32_t size) {
  if (queue->head != 0 && queue->head >= queue->size / 2) {
    std::memmove(queue->bytes, queue->bytes + queue->head,
                 queue->size - queue->head);
    queue->size -= queue->head;
    queue->head = 0;
  }
  if (!growBlock(&queue->bytes, queue->size, &queue->room, size)) return false;
  std::memcpy(queue->bytes + queue->size, bytes, size);
  queue->size += size;
  return true;
}

// Pushes what the current block of reader (old) becomes in the new stream:
// its bytes with the setup file's new header, and the setup XML's new
// document in place of the old one. False when memory is short.
bool pushOldBlock(ExpectedBytes* queue, const FolderReader& reader,
                  const ChangePass& pass, const RebuildRequest& request,
                  const unsigned char* document, unsigned char* scratch) {
  const Cabinet& cabinet = *reader.cabinet;
  const std::uint32_t s = reader.dataStart;
  const std::uint32_t e = s + reader.dataSize;
  std::memcpy(scratch, reader.data, reader.dataSize);
  if (request.member->bytes != nullptr &&
      cabinet.members[request.member->index].folder == reader.folder) {
    const std::uint64_t headerStart =
        cabinet.members[request.member->index].folderOffset;
    for (std::uint64_t p = headerStart > s ? headerStart : s;
         p < e && p < headerStart + SetupHeader::kSize; ++p)
      scratch[p - s] = request.newHeader[p - headerStart];
  }
  const CabMember& xml = cabinet.members[pass.xml.copy.index];
  const std::uint32_t xs = xml.folderOffset;
  const std::uint32_t xe = xs + xml.size;
  bool pushed = true;
  if (s < xs)
    pushed = pushExpected(queue, scratch, (e < xs ? e : xs) - s);
  if (pushed && s <= xs && xs < e)
    pushed = pushExpected(queue, document, pass.xml.plan.newSize);
  if (pushed && e > xe) {
    const std::uint32_t from = s > xe ? s : xe;
    pushed = pushExpected(queue, scratch + (from - s), e - from);
  }
  return pushed;
}

// Streams the folder laid out anew in both images, the new one in both
// readings: it decodes to the old stream with the setup file's new header
// and the setup XML's new document in place of the old one.
bool sameRelaidStream(FolderReader* a, FolderReader* b, const ChangePass& pass,
                      const RebuildRequest& request) {
  const std::uint16_t folder = pass.relayout.folder;
  const SetupXmlChange& change = pass.xml;
  auto* document =
      static_cast<unsigned char*>(allocZeroed(change.plan.newSize + 1));
  auto* scratch =
      static_cast<unsigned char*>(allocZeroed(kMaxBlockUncompressed));
  ExpectedBytes queue = {nullptr, 0, 0, 0};
  bool same = document != nullptr && scratch != nullptr &&
              startFolder(a, folder) == CabStatus::Ok &&
              startFolder(b, folder) == CabStatus::Ok;
  if (same)
    writeSetupXmlEdit(change.copy.bytes, change.copy.size, change.plan, 0,
                      change.plan.newSize, document);
  const std::uint32_t oldBlocks = a->cabinet->folders[folder].blockCount;
  const std::uint32_t newBlocks = b->cabinet->folders[folder].blockCount;
  while (same && b->nextBlock < newBlocks) {
    same = readFolderBlock(b) == CabStatus::Ok;
    while (same && queue.size - queue.head < b->dataSize &&
           a->nextBlock < oldBlocks)
      same = readFolderBlock(a) == CabStatus::Ok &&
             pushOldBlock(&queue, *a, pass, request, document, scratch);
    same = same && queue.size - queue.head >= b->dataSize &&
           std::memcmp(queue.bytes + queue.head, b->data, b->dataSize) == 0;
    if (same) queue.head += b->dataSize;
  }
  // Old blocks inside the document's old bytes add nothing.
  while (same && a->nextBlock < oldBlocks)
    same = readFolderBlock(a) == CabStatus::Ok &&
           pushOldBlock(&queue, *a, pass, request, document, scratch);
  same = same && queue.head == queue.size;
  freeBlock(queue.bytes);
  freeBlock(scratch);
  freeBlock(document);
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
  const FolderRelayout& relayout = pass.relayout;
  if (blocks.problem != nullptr) return fail(blocks.problem);
  if (relayout.problem != nullptr) return fail(relayout.problem);
  const CabinetSource fresh = {result.image, result.size, nullptr, nullptr,
                               true};
  Cabinet rebuilt;
  if (readCabinet(fresh, &rebuilt) != CabStatus::Ok ||
      checkWholeCabinet(fresh, &rebuilt, false) != CabStatus::Ok)
    return fail("it does not read back");
  if (!sameStructure(source, *cabinet, fresh, rebuilt, request, pass, result))
    return fail("its structure differs from the original");

  const bool hasSetup = request.member->bytes != nullptr;
  const std::uint32_t noFolder = 0x10000;
  const std::uint32_t setupFolder =
      hasSetup ? cabinet->members[request.member->index].folder : noFolder;
  const std::uint32_t relaidFolder = result.relaid ? relayout.folder : noFolder;
  const char* reason = nullptr;
  if (hasSetup && !sameSetupHeader(*cabinet, request, blocks,
                                   setupFolder == relaidFolder, &reason))
    return fail(reason);
  if (result.relaid && !newDocumentHolds(pass, *request.changes, &reason))
    return fail(reason);

  for (std::uint16_t i = 0; i < cabinet->folderCount; ++i) {
    if (i != setupFolder && i != relaidFolder &&
        !sameRecords(source, *cabinet, fresh, rebuilt, i))
      return fail("a folder's content differs from the original");
  }
  // The setup file's folder, unless it is laid out anew as well.
  bool streamSetupFolder = false;
  if (hasSetup && setupFolder != relaidFolder) {
    if (!sameSetupFolder(source, *cabinet, fresh, rebuilt, blocks, &reason))
      return fail(reason);
    const CabFolder& folder = cabinet->folders[setupFolder];
    streamSetupFolder =
        folder.compression == kCompressionMszip && folder.shortBlock;
  }
  if (!streamSetupFolder && !result.relaid) return true;

  FolderReader a, b;
  initFolderReader(&a, source, cabinet);
  initFolderReader(&b, fresh, &rebuilt);
  b.checkReadings = true;
  bool same = true;
  if (streamSetupFolder)
    same = sameStream(&a, &b, static_cast<std::uint16_t>(setupFolder),
                      request);
  if (same && result.relaid)
    same = sameRelaidRecords(fresh, rebuilt, relayout) &&
           sameRelaidStream(&a, &b, pass, request);
  closeFolder(&a);
  closeFolder(&b);
  return same || fail("a folder's content differs from the original");
}

// FolderRelayout.cpp - the new blocks of a folder whose member changes size.
//
// The new stream runs from the start of the first block replaced; its bytes
// are the old ones, patched (StreamPatch), with the member's new bytes in
// place of its old ones. They gather in a window of 32 KiB, which becomes a
// block whenever it is full, and once more, shorter, at the folder's end.
#include "cabinet/FolderRelayout.h"

#include <cstring>

#include "cabinet/Checksum.h"
#include "cabinet/Mszip.h"
#include "header/Endian.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

using namespace CabFormat;

namespace {

// The window: the pending bytes, the dictionary (the last block made, or
// the block before the first), a decode check, and the bytes on their way
// to the pending ones (patched old bytes, the member's new bytes).
constexpr std::uint32_t kWindowBytes = 4 * kMaxBlockUncompressed;

unsigned char* pendingBytes(FolderRelayout* relayout) {
  return relayout->window;
}
unsigned char* dictionaryBytes(FolderRelayout* relayout) {
  return relayout->window + kMaxBlockUncompressed;
}
unsigned char* checkBytes(FolderRelayout* relayout) {
  return relayout->window + 2 * kMaxBlockUncompressed;
}
unsigned char* inputBytes(FolderRelayout* relayout) {
  return relayout->window + 3 * kMaxBlockUncompressed;
}

bool failed(const FolderRelayout& relayout) {
  return relayout.status != CabStatus::Ok || relayout.problem != nullptr;
}

void outOfMemory(FolderRelayout* relayout) {
  relayout->status = CabStatus::NoMemory;
}

// The old bytes of stream position start (size bytes) as the new stream has
// them: copied to out and patched.
void patchedBytes(FolderRelayout* relayout, std::uint32_t start,
                  const unsigned char* bytes, std::uint32_t size,
                  unsigned char* out) {
  std::memcpy(out, bytes, size);
  if (relayout->patch.apply != nullptr)
    relayout->patch.apply(relayout->patch.context, start, size, out);
}

// Makes one new block of the pending bytes, and keeps them as the next
// block's dictionary when they are 32 KiB.
void makeBlock(FolderRelayout* relayout, bool mszip) {
  const std::uint32_t size = relayout->pendingSize;
  const std::uint32_t room = mszip ? mszipBound(size) : size;
  if (!growBlock(&relayout->records, relayout->size, &relayout->capacity,
                 std::uint64_t{relayout->prefixSize} + room)) {
    outOfMemory(relayout);
    return;
  }
  unsigned char* record = relayout->records + relayout->size;
  std::memcpy(record, relayout->prefix, relayout->prefixSize);
  unsigned char* data = record + relayout->prefixSize;
  const unsigned char* bytes = pendingBytes(relayout);
  std::uint32_t dataSize = size;
  if (!mszip) {
    std::memcpy(data, bytes, size);
  } else {
    const unsigned char* history =
        relayout->hasDictionary ? dictionaryBytes(relayout) : nullptr;
    const MszipWrite written =
        writeMszipBlock(relayout->encoder, history, bytes, size, data,
                        &dataSize, checkBytes(relayout));
    if (written == MszipWrite::NoMemory) {
      outOfMemory(relayout);
      return;
    }
    if (written != MszipWrite::Ok ||
        std::memcmp(checkBytes(relayout), bytes, size) != 0) {
      relayout->problem = "a block laid out anew does not hold its bytes";
      return;
    }
  }
  writeLE16(record + kBlockDataSize, static_cast<std::uint16_t>(dataSize));
  writeLE16(record + kBlockUncompressed, static_cast<std::uint16_t>(size));
  writeLE32(record + kBlockChecksum,
            sumBlockLike(record, static_cast<std::uint8_t>(
                                     relayout->prefixSize - kBlockHeaderSize),
                         relayout->like));
  relayout->size += relayout->prefixSize + dataSize;
  ++relayout->count;
  relayout->hasDictionary = size == kMszipWindow;
  if (relayout->hasDictionary)
    std::memcpy(dictionaryBytes(relayout), bytes, size);
  relayout->pendingSize = 0;
}

// Appends size bytes of the new stream, making a block of every 32 KiB.
void appendNew(FolderRelayout* relayout, const unsigned char* bytes,
               std::uint32_t size, bool mszip) {
  while (size != 0 && !failed(*relayout)) {
    std::uint32_t part = kMaxBlockUncompressed - relayout->pendingSize;
    if (part > size) part = size;
    std::memcpy(pendingBytes(relayout) + relayout->pendingSize, bytes, part);
    relayout->pendingSize += part;
    relayout->newStreamEnd += part;
    bytes += part;
    size -= part;
    if (relayout->pendingSize == kMaxBlockUncompressed)
      makeBlock(relayout, mszip);
  }
}

// Appends the old bytes at stream position start, patched.
void appendOld(FolderRelayout* relayout, std::uint32_t start,
               const unsigned char* bytes, std::uint32_t size, bool mszip) {
  unsigned char* scratch = inputBytes(relayout);
  while (size != 0 && !failed(*relayout)) {
    const std::uint32_t part =
        size < kMaxBlockUncompressed ? size : kMaxBlockUncompressed;
    patchedBytes(relayout, start, bytes, part, scratch);
    appendNew(relayout, scratch, part, mszip);
    start += part;
    bytes += part;
    size -= part;
  }
}

bool isMszip(const FolderReader& reader) {
  return reader.cabinet->folders[reader.folder].compression ==
         kCompressionMszip;
}

}  // namespace

void startRelayoutHold(FolderRelayout* relayout, const FolderReader& reader,
                       MszipEncoder* encoder) {
  const Cabinet& cabinet = *reader.cabinet;
  const CabBlock& block = reader.block;
  relayout->holding = true;
  relayout->first = reader.nextBlock - 1;
  relayout->oldOffset = block.offset;
  relayout->oldSize =
      cabinet.folders[reader.folder].dataEnd - block.offset;
  relayout->streamStart = block.uncompressedStart;
  relayout->newStreamEnd = block.uncompressedStart;
  relayout->like = block;
  relayout->prefixSize = kBlockHeaderSize + cabinet.dataReserveSize;
  std::memcpy(relayout->prefix, reader.record, relayout->prefixSize);
  relayout->window =
      static_cast<unsigned char*>(allocZeroed(kWindowBytes));
  if (relayout->window == nullptr) return outOfMemory(relayout);
  relayout->encoder = isMszip(reader) ? encoder : nullptr;
  // The block before, as the new stream has it, when it holds 32 KiB.
  const unsigned char* full =
      isMszip(reader) ? mszipFullPrevious(reader.decoder) : nullptr;
  if (full != nullptr) {
    patchedBytes(relayout, block.uncompressedStart - kMszipWindow, full,
                 kMszipWindow, dictionaryBytes(relayout));
    relayout->hasDictionary = true;
  }
  holdRelayoutBlock(relayout, reader);
}

void holdRelayoutBlock(FolderRelayout* relayout, const FolderReader& reader) {
  if (failed(*relayout)) return;
  if (!growBlock(&relayout->held, relayout->heldSize, &relayout->heldRoom,
                 reader.dataSize))
    return outOfMemory(relayout);
  std::memcpy(relayout->held + relayout->heldSize, reader.data,
              reader.dataSize);
  relayout->heldSize += reader.dataSize;
}

void startRelayoutWrite(FolderRelayout* relayout,
                        const MemberReplacement& member) {
  relayout->holding = false;
  relayout->writing = true;
  relayout->shift = std::int64_t{member.newSize} - member.oldSize;
  if (failed(*relayout)) return dropRelayout(relayout);
  const bool mszip = relayout->encoder != nullptr;
  const std::uint32_t before = member.start - relayout->streamStart;
  const std::uint32_t after = before + member.oldSize;
  appendOld(relayout, relayout->streamStart, relayout->held, before, mszip);
  // The member's new bytes, a window's worth at a time.
  unsigned char* scratch = inputBytes(relayout);
  for (std::uint32_t from = 0; from < member.newSize && !failed(*relayout);) {
    std::uint32_t part = member.newSize - from;
    if (part > kMaxBlockUncompressed) part = kMaxBlockUncompressed;
    member.write(member.context, from, part, scratch);
    appendNew(relayout, scratch, part, mszip);
    from += part;
  }
  appendOld(relayout, member.start + member.oldSize, relayout->held + after,
            relayout->heldSize - after, mszip);
  freeBlock(relayout->held);
  relayout->held = nullptr;
  relayout->heldSize = 0;
  relayout->heldRoom = 0;
}

void writeRelayoutBlock(FolderRelayout* relayout, const FolderReader& reader) {
  appendOld(relayout, reader.dataStart, reader.data, reader.dataSize,
            isMszip(reader));
}

void finishRelayout(FolderRelayout* relayout, const Cabinet& cabinet) {
  relayout->finished = true;
  if (failed(*relayout)) return;
  if (relayout->pendingSize != 0)
    makeBlock(relayout, relayout->encoder != nullptr);
  if (std::uint64_t{relayout->first} + relayout->count > 0xFFFF) {
    if (!cabinet.source.quiet)
      reportError("Cabinet not handled: folder %u would need more than "
                  "65535 blocks", static_cast<unsigned>(relayout->folder));
    relayout->status = CabStatus::Unhandled;
  }
}

void dropRelayout(FolderRelayout* relayout) {
  relayout->holding = false;
  freeBlock(relayout->held);
  relayout->held = nullptr;
  relayout->heldSize = 0;
  relayout->heldRoom = 0;
}

void releaseRelayoutWork(FolderRelayout* relayout) {
  dropRelayout(relayout);
  freeBlock(relayout->window);
  relayout->window = nullptr;
  relayout->encoder = nullptr;
}

void releaseRelayout(FolderRelayout* relayout) {
  releaseRelayoutWork(relayout);
  freeBlock(relayout->records);
  relayout->records = nullptr;
}

// ChangePass.cpp - the pass of a change over every block: the check of
// each, the search for the setup file, and the blocks the change writes
// anew, made as the setup file's folder goes by.
#include "cabinet/ChangePass.h"

#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/Checksum.h"
#include "cabinet/FolderReader.h"
#include "cabinet/Verify.h"
#include "header/Endian.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

using namespace CabFormat;

namespace {

// The part [from, to) of the stream range [start, start + size) that the
// 100 header bytes at headerStart cover; empty when from >= to.
void headerOverlap(std::uint32_t start, std::uint32_t size,
                   std::uint32_t headerStart, std::uint32_t* from,
                   std::uint32_t* to) {
  const std::uint64_t end = std::uint64_t{start} + size;
  const std::uint64_t headerEnd =
      std::uint64_t{headerStart} + SetupHeader::kSize;
  *from = start > headerStart ? start : headerStart;
  *to = static_cast<std::uint32_t>(end < headerEnd ? end : headerEnd);
}

// Copies size stream bytes starting at start into out with the new header
// bytes in place of the old.
void patchedCopy(const unsigned char* bytes, std::uint32_t start,
                 std::uint32_t size, std::uint32_t headerStart,
                 const unsigned char* header, unsigned char* out) {
  std::memcpy(out, bytes, size);
  std::uint32_t from, to;
  headerOverlap(start, size, headerStart, &from, &to);
  for (std::uint32_t p = from; p < to; ++p)
    out[p - start] = header[p - headerStart];
}

// Makes room for size more bytes of records, doubling the block. False
// (status NoMemory) when memory is short.
bool reserveRecords(NewBlocks* blocks, std::uint64_t size) {
  const std::uint64_t needed = std::uint64_t{blocks->size} + size;
  if (needed <= blocks->capacity) return true;
  std::uint64_t capacity = blocks->capacity == 0 ? 2 * size : blocks->capacity;
  while (capacity < needed) capacity *= 2;
  if (capacity > 0xFFFFFFFFull) capacity = needed;
  auto* grown = capacity > 0xFFFFFFFFull
                    ? nullptr
                    : static_cast<unsigned char*>(
                          allocZeroed(static_cast<std::size_t>(capacity)));
  if (grown == nullptr) {
    blocks->status = CabStatus::NoMemory;
    return false;
  }
  if (blocks->size != 0) std::memcpy(grown, blocks->records, blocks->size);
  freeBlock(blocks->records);
  blocks->records = grown;
  blocks->capacity = static_cast<std::uint32_t>(capacity);
  return true;
}

// Writes the current block of reader (of the setup file's folder, decoded
// whole) anew into blocks: patched, in an MSZIP folder encoded with the
// block before as its dictionary when that holds 32 KiB. The new record is
// decoded back at once and must hold the block's new bytes.
void writeBlockAnew(const FolderReader& reader, const ChangePass& pass,
                    NewBlocks* blocks) {
  const Cabinet& cabinet = *reader.cabinet;
  const CabBlock& block = reader.block;
  const bool stored =
      cabinet.folders[reader.folder].compression == kCompressionStored;
  const std::uint32_t start = block.uncompressedStart;
  const std::uint32_t size = block.uncompressedSize;
  const std::uint32_t headerStart =
      cabinet.members[pass.member.index].folderOffset;
  const std::uint32_t prefix = kBlockHeaderSize + cabinet.dataReserveSize;
  const std::uint32_t room = stored ? size : mszipBound(size);

  if (blocks->scratch == nullptr) {
    blocks->scratch =
        static_cast<unsigned char*>(allocZeroed(3 * kMaxBlockUncompressed));
    if (!stored && blocks->scratch != nullptr)
      blocks->encoder = createMszipEncoder();
    if (blocks->scratch == nullptr || (!stored && blocks->encoder == nullptr)) {
      blocks->status = CabStatus::NoMemory;
      return;
    }
  }
  if (!reserveRecords(blocks, std::uint64_t{prefix} + room)) return;
  unsigned char* newBytes = blocks->scratch;
  unsigned char* dictionary = newBytes + kMaxBlockUncompressed;
  unsigned char* check = dictionary + kMaxBlockUncompressed;
  unsigned char* record = blocks->records + blocks->size;
  std::memcpy(record, reader.record, prefix);
  unsigned char* data = record + prefix;
  std::uint32_t dataSize = size;

  if (stored) {
    patchedCopy(reader.data, start, size, headerStart, blocks->header, data);
    std::memcpy(check, data, size);
  } else {
    patchedCopy(reader.data, start, size, headerStart, blocks->header,
                newBytes);
    const unsigned char* full = mszipFullPrevious(reader.decoder);
    if (full != nullptr)
      patchedCopy(full, start - kMszipWindow, kMszipWindow, headerStart,
                  blocks->header, dictionary);
    const unsigned char* history = full != nullptr ? dictionary : nullptr;
    if (encodeMszipBlock(blocks->encoder, history, newBytes, size, data,
                         &dataSize) != MszipEncode::Ok) {
      blocks->status = CabStatus::NoMemory;
      return;
    }
    // What another reader would read otherwise is written stored.
    const char* difference = nullptr;
    bool decoded = decodeMszipAlone(data, dataSize, history, check, size,
                                    &difference);
    if (decoded && difference != nullptr) {
      storeMszipBlock(newBytes, size, data, &dataSize);
      decoded = decodeMszipAlone(data, dataSize, history, check, size,
                                 &difference);
    }
    writeLE16(record + kBlockDataSize, static_cast<std::uint16_t>(dataSize));
    if (!decoded || difference != nullptr) {
      blocks->problem = "a block encoded anew does not decode";
      return;
    }
  }
  if (!newBlockHoldsChange(check, reader.data, start, size, headerStart,
                           blocks->header)) {
    blocks->problem = "a block written anew does not hold its bytes";
    return;
  }
  writeLE32(record + kBlockChecksum,
            sumBlockLike(record, cabinet.dataReserveSize, block));
  if (blocks->count == 0) {
    blocks->first = reader.nextBlock - 1;
    blocks->oldOffset = block.offset;
  }
  ++blocks->count;
  blocks->oldSize += prefix + block.dataSize;
  blocks->size += prefix + dataSize;
}

// Copies the current block of reader, which refers back to nothing and
// holds no changed byte, into the run of new blocks as it is: it means the
// same bytes whatever the blocks before it became.
void copyBlockAsItIs(const FolderReader& reader, NewBlocks* blocks) {
  const std::uint32_t size = kBlockHeaderSize +
                             reader.cabinet->dataReserveSize +
                             reader.block.dataSize;
  if (!reserveRecords(blocks, size)) return;
  std::memcpy(blocks->records + blocks->size, reader.record, size);
  ++blocks->count;
  blocks->oldSize += size;
  blocks->size += size;
}

// Takes the current block of reader, of the setup file's folder, into the
// new blocks when the change reaches it: when it holds a changed byte, or
// (MSZIP) when either reading's history before it holds one. The blocks
// taken are one run. One the change reaches that holds no changed byte
// and refers back to nothing (mszipStandsAlone: the pass found so behind
// a short block, so the folder is verified whole) goes into the run as it
// is, not encoded anew.
void takeBlock(const FolderReader& reader, const ChangeRequest& changes,
               ChangePass* pass) {
  NewBlocks* blocks = &pass->blocks;
  if (blocks->closed || blocks->status != CabStatus::Ok ||
      blocks->problem != nullptr)
    return;
  const SetupMember& member = pass->member;
  const std::uint32_t start = reader.block.uncompressedStart;
  const std::uint32_t size = reader.block.uncompressedSize;
  const std::uint32_t headerStart =
      reader.cabinet->members[member.index].folderOffset;

  // The changed bytes among the header bytes here; the fields asked for
  // take the same values whatever the header held.
  bool changedHere = false;
  std::uint32_t from, to;
  headerOverlap(start, size, headerStart, &from, &to);
  if (from < to) {
    std::memcpy(blocks->header, member.bytes, SetupHeader::kSize);
    storeChanges(blocks->header, changes);
    for (std::uint32_t p = from; p < to; ++p) {
      if (member.bytes[p - headerStart] == blocks->header[p - headerStart])
        continue;
      if (blocks->changeEnd == 0) blocks->changeStart = p;
      blocks->changeEnd = p + 1;
      changedHere = true;
    }
  }
  const bool mszip =
      reader.cabinet->folders[reader.folder].compression == kCompressionMszip;
  const bool reached =
      mszip && blocks->changeEnd != 0 &&
      (start < std::uint64_t{blocks->changeEnd} + kMszipWindow ||
       blocks->frameDirty >= 0);
  // The run stays whole while the header goes on: a later header byte may
  // still change.
  const bool inHeader = blocks->count != 0 &&
                        start < std::uint64_t{headerStart} + SetupHeader::kSize;
  if ((reached || inHeader) && !changedHere && mszip && blocks->count != 0 &&
      mszipStandsAlone(reader.decoder)) {
    copyBlockAsItIs(reader, blocks);
  } else if (changedHere || reached || inHeader) {
    writeBlockAnew(reader, *pass, blocks);
  } else if (blocks->count != 0) {
    blocks->closed = true;  // the run is over: nothing later reaches back
  }
  // The frame: this block covers positions below its size; its changed
  // bytes stay at theirs.
  if (blocks->frameDirty >= 0 &&
      static_cast<std::uint32_t>(blocks->frameDirty) < size)
    blocks->frameDirty = -1;
  if (changedHere) {
    const std::uint32_t last =
        (blocks->changeEnd < start + size ? blocks->changeEnd : start + size) -
        1 - start;
    if (static_cast<std::int32_t>(last) > blocks->frameDirty)
      blocks->frameDirty = static_cast<std::int32_t>(last);
  }
}

}  // namespace

CabStatus passCabinet(const CabinetSource& source, Cabinet* cabinet,
                      const ChangeRequest& changes, ChangePass* pass) {
  std::memset(pass, 0, sizeof *pass);
  pass->blocks.frameDirty = -1;
  SetupSearch search;
  CabStatus status =
      startSetupSearch(&search, source, cabinet, &pass->member);
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  reader.checkReadings = true;
  for (std::uint16_t i = 0; status == CabStatus::Ok && i < cabinet->folderCount;
       ++i) {
    status = startFolder(&reader, i);
    while (status == CabStatus::Ok &&
           reader.nextBlock < cabinet->folders[i].blockCount) {
      status = readFolderBlock(&reader);
      if (status == CabStatus::Ok)
        status = searchFolderBytes(&search, i, reader.dataStart, reader.data,
                                   reader.dataSize);
      if (status == CabStatus::Ok && setupFileFound(search) &&
          i == cabinet->members[pass->member.index].folder)
        takeBlock(reader, changes, pass);
    }
  }
  closeFolder(&reader);
  if (status == CabStatus::Ok) status = checkCabinetLayout(source, *cabinet);
  status = endSetupSearch(&search, status);
  if (status == CabStatus::Ok) {
    pass->blocks.folder = cabinet->members[pass->member.index].folder;
    pass->programs = search.programs;
  }
  return status;
}

void releaseChangePass(ChangePass* pass) {
  freeBlock(pass->member.bytes);
  freeBlock(pass->blocks.records);
  freeBlock(pass->blocks.scratch);
  destroyMszipEncoder(pass->blocks.encoder);
  pass->member.bytes = nullptr;
  pass->blocks.records = nullptr;
  pass->blocks.scratch = nullptr;
  pass->blocks.encoder = nullptr;
}

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

// Makes room for size more bytes of records. False (status NoMemory) when
// memory is short.
bool reserveRecords(NewBlocks* blocks, std::uint64_t size) {
  if (growBlock(&blocks->records, blocks->size, &blocks->capacity, size))
    return true;
  blocks->status = CabStatus::NoMemory;
  return false;
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

  if (blocks->scratch == nullptr)
    blocks->scratch =
        static_cast<unsigned char*>(allocZeroed(3 * kMaxBlockUncompressed));
  if (!stored && blocks->encoder == nullptr)
    blocks->encoder = createMszipEncoder();
  if (blocks->scratch == nullptr || (!stored && blocks->encoder == nullptr)) {
    blocks->status = CabStatus::NoMemory;
    return;
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
    const MszipWrite written = writeMszipBlock(
        blocks->encoder, history, newBytes, size, data, &dataSize, check);
    if (written == MszipWrite::NoMemory) {
      blocks->status = CabStatus::NoMemory;
      return;
    }
    writeLE16(record + kBlockDataSize, static_cast<std::uint16_t>(dataSize));
    if (written != MszipWrite::Ok) {
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

// What the relayout needs to put the setup file's new header into its
// blocks.
struct HeaderPatch {
  const ChangePass* pass;
  const Cabinet* cabinet;
  const ChangeRequest* changes;
};

// The setup file's new header bytes in the old bytes of the stream (size
// bytes from stream position start) that the relayout of the setup XML's
// folder puts into its new blocks, when the setup file lies in it too.
void patchSetupHeader(void* context, std::uint32_t start, std::uint32_t size,
                      unsigned char* bytes) {
  const auto* patch = static_cast<const HeaderPatch*>(context);
  const SetupMember& member = patch->pass->member;
  if (member.bytes == nullptr ||
      patch->cabinet->members[member.index].folder !=
          patch->pass->relayout.folder)
    return;
  const std::uint32_t headerStart =
      patch->cabinet->members[member.index].folderOffset;
  std::uint32_t from, to;
  headerOverlap(start, size, headerStart, &from, &to);
  if (from >= to) return;
  unsigned char header[SetupHeader::kSize];
  std::memcpy(header, member.bytes, SetupHeader::kSize);
  storeChanges(header, *patch->changes);
  for (std::uint32_t p = from; p < to; ++p)
    bytes[p - start] = header[p - headerStart];
}

// Cuts the setup file's run of new blocks before block cut of its folder,
// where the relayout of that folder takes over: the run keeps the blocks
// before it, and ends.
void cutRun(NewBlocks* blocks, std::uint32_t cut, std::uint32_t cutOffset,
            std::uint32_t reserve) {
  blocks->closed = true;
  if (blocks->count == 0 || blocks->first + blocks->count <= cut) return;
  const std::uint32_t keep = cut > blocks->first ? cut - blocks->first : 0;
  std::uint32_t size = 0;
  for (std::uint32_t k = 0; k < keep; ++k)
    size += kBlockHeaderSize + reserve +
            readLE16(blocks->records + size + kBlockDataSize);
  blocks->count = keep;
  blocks->size = size;
  blocks->oldSize = keep == 0 ? 0 : cutOffset - blocks->oldOffset;
}

// The setup XML's folder as the pass meets its current block (decoded
// whole, fed to the search): the blocks from the one that holds the
// document's first byte are held until the document is whole, its change
// planned, and then laid out anew with every later block of the folder.
void relayBlock(const FolderReader& reader, const ChangeRequest& changes,
                ChangePass* pass) {
  FolderRelayout* relayout = &pass->relayout;
  const CabMember& file = reader.cabinet->members[pass->xml.copy.index];
  const std::uint32_t end = reader.dataStart + reader.dataSize;
  if (!relayout->holding && !relayout->writing) {
    if (relayout->finished || end <= file.folderOffset) return;
    // One encoder serves the setup file's blocks and the relayout's.
    const bool mszip = reader.cabinet->folders[reader.folder].compression ==
                       kCompressionMszip;
    if (mszip && pass->blocks.encoder == nullptr)
      pass->blocks.encoder = createMszipEncoder();
    if (mszip && pass->blocks.encoder == nullptr) {
      relayout->status = CabStatus::NoMemory;
      relayout->finished = true;
      return;
    }
    startRelayoutHold(relayout, reader, pass->blocks.encoder);
  } else if (relayout->holding) {
    holdRelayoutBlock(relayout, reader);
  } else {
    writeRelayoutBlock(relayout, reader);
  }
  if (relayout->holding && end >= file.folderOffset + file.size) {
    // The document is whole: its change decides.
    planSetupXmlChange(&pass->xml, changes);
    if (pass->xml.problem != nullptr || pass->xml.plan.count == 0) {
      dropRelayout(relayout);
      relayout->finished = true;
      return;
    }
    if (pass->member.bytes != nullptr &&
        reader.cabinet->members[pass->member.index].folder == reader.folder)
      cutRun(&pass->blocks, relayout->first, relayout->oldOffset,
             reader.cabinet->dataReserveSize);
    startRelayoutWrite(relayout,
                       setupXmlReplacement(pass->xml, file.folderOffset));
  }
  if (relayout->writing && !relayout->finished &&
      reader.nextBlock == reader.cabinet->folders[reader.folder].blockCount)
    finishRelayout(relayout, *reader.cabinet);
}

}  // namespace

bool changesSetupXml(const ChangeRequest& changes) {
  return changes.archGiven || changes.minVersionGiven ||
         changes.maxVersionGiven;
}

CabStatus passCabinet(const CabinetSource& source, Cabinet* cabinet,
                      const ChangeRequest& changes, ChangePass* pass) {
  std::memset(pass, 0, sizeof *pass);
  pass->blocks.frameDirty = -1;
  SetupSearch search;
  CabStatus status =
      startSetupSearch(&search, source, cabinet, &pass->member);
  if (status == CabStatus::Ok)
    status = copySetupXmlToo(&search, &pass->xml.copy);
  // The setup XML's folder is laid out anew when its change needs it.
  const bool relay = pass->xml.copy.bytes != nullptr && changesSetupXml(changes);
  FolderRelayout* relayout = &pass->relayout;
  HeaderPatch patch = {pass, cabinet, &changes};
  if (relay) {
    relayout->folder = cabinet->members[pass->xml.copy.index].folder;
    relayout->patch = {patchSetupHeader, &patch};
  }
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
      // Where the relayout has taken over, it writes the setup file's
      // header too.
      const bool relaid = relay && relayout->writing &&
                          i == relayout->folder &&
                          reader.nextBlock - 1 >= relayout->first;
      if (status == CabStatus::Ok && setupFileFound(search) && !relaid &&
          i == cabinet->members[pass->member.index].folder)
        takeBlock(reader, changes, pass);
      if (status == CabStatus::Ok && relay && i == relayout->folder)
        relayBlock(reader, changes, pass);
    }
  }
  closeFolder(&reader);
  if (status == CabStatus::Ok) status = checkCabinetLayout(source, *cabinet);
  status = endSetupSearch(&search, status);
  if (status == CabStatus::Ok) {
    if (pass->member.bytes != nullptr)
      pass->blocks.folder = cabinet->members[pass->member.index].folder;
    pass->programs = search.programs;
    // A document the pass did not meet whole (too large to copy, or empty
    // at its folder's end) is planned here, to say why it cannot change.
    if (cabinet->setupXmlCount != 0 && changesSetupXml(changes) &&
        !pass->xml.planned)
      planSetupXmlChange(&pass->xml, changes);
  }
  relayout->patch = {nullptr, nullptr};
  // What only the pass needed goes before the image is built and checked.
  releaseRelayoutWork(relayout);
  freeBlock(pass->blocks.scratch);
  destroyMszipEncoder(pass->blocks.encoder);
  pass->blocks.scratch = nullptr;
  pass->blocks.encoder = nullptr;
  return status;
}

void releaseChangePass(ChangePass* pass) {
  releaseSetupXmlChange(&pass->xml);
  releaseRelayout(&pass->relayout);
  freeBlock(pass->member.bytes);
  freeBlock(pass->blocks.records);
  freeBlock(pass->blocks.scratch);
  destroyMszipEncoder(pass->blocks.encoder);
  pass->member.bytes = nullptr;
  pass->blocks.records = nullptr;
  pass->blocks.scratch = nullptr;
  pass->blocks.encoder = nullptr;
}

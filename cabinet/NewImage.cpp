// NewImage.cpp - the new cabinet image of a change, assembled from the
// original and the blocks the pass made.
//
// The image is described as the original with at most three edits, each
// replacing one range of the original (the run of new block records of the
// setup file's folder, the new blocks of the setup XML's folder to its end,
// the signature's reserve) by new bytes. A position of the original that no
// edit covers moves by the size changes of the edits before it; the fields
// that hold positions (cbCabinet, coffFiles, coffCabStart) are then
// written anew.
#include "cabinet/NewImage.h"

#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "header/Endian.h"
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

// The edits of one image, sorted by position once all are in.
struct Edits {
  Edit list[3];
  std::uint32_t count = 0;
};

// Where a position of the original lands in the new image: it moves by
// the size changes of the edits that end at or before it. The edits are
// sorted and do not overlap, so their ends are sorted too.
std::uint64_t mapOffset(const Edits& edits, std::uint32_t offset) {
  std::int64_t shift = 0;
  for (std::uint32_t i = 0; i < edits.count; ++i) {
    const Edit& edit = edits.list[i];
    if (offset < edit.oldOffset + std::uint64_t{edit.oldSize}) break;
    shift = edit.shift;
  }
  return static_cast<std::uint64_t>(offset + shift);
}

// The text a header reference points at in the setup file: up to its NUL
// or the end of the bytes held.
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
                         const RebuildRequest& request, const ChangePass& pass,
                         RebuildResult* result) {
  std::memset(result, 0, sizeof *result);
  const NewBlocks& blocks = pass.blocks;
  if (blocks.status != CabStatus::Ok) {
    reportError("Cannot allocate memory to compress cabinet data");
    return blocks.status;
  }
  const FolderRelayout& relayout = pass.relayout;
  if (relayout.status == CabStatus::NoMemory) {
    reportError("Cannot allocate memory to compress cabinet data");
    return relayout.status;
  }
  if (relayout.status != CabStatus::Ok) return relayout.status;
  Edits edits;
  if (blocks.count != 0) {
    edits.list[edits.count++] = {blocks.oldOffset, blocks.oldSize, blocks.size,
                                 blocks.records, 0};
    result->reencoded =
        cabinet->folders[blocks.folder].compression == kCompressionMszip;
  }
  if (relayout.writing) {
    edits.list[edits.count++] = {relayout.oldOffset, relayout.oldSize,
                                 relayout.size, relayout.records, 0};
    result->relaid = true;
  }

  // Folder 0's copy of the architecture follows the setup file's, when it
  // is a faithful copy (a cabinet with only a setup XML has none to keep).
  const unsigned char* oldHeader = request.member->bytes;
  const std::uint32_t newArch =
      oldHeader == nullptr
          ? 0
          : readLE32(request.newHeader + SetupHeader::kArchitecture);
  result->archCopyUpdated =
      oldHeader != nullptr &&
      readLE32(oldHeader + SetupHeader::kArchitecture) != newArch &&
      archCopyMatches(*cabinet, request.member->bytes, request.member->held);

  // The signature goes with its reserve; the reserve sizes go too when no
  // other reserve is left.
  bool clearReserveFlag = false;
  if (request.removeSignature && cabinet->isSigned) {
    result->signatureRemoved = true;
    clearReserveFlag =
        cabinet->folderReserveSize == 0 && cabinet->dataReserveSize == 0;
    if (clearReserveFlag) {
      edits.list[edits.count++] = {
          kHeaderSize, kReserveSizesSize + cabinet->headerReserveSize, 0,
          nullptr, 0};
    } else {
      edits.list[edits.count++] = {cabinet->headerReserveOffset,
                                   cabinet->headerReserveSize, 0, nullptr, 0};
    }
  }

  if (edits.count == 0 && !result->archCopyUpdated) {
    result->unchanged = true;
    return CabStatus::Ok;
  }

  // By position: the signature's reserve comes before any block.
  for (std::uint32_t i = 1; i < edits.count; ++i) {
    for (std::uint32_t k = i; k > 0; --k) {
      if (edits.list[k - 1].oldOffset <= edits.list[k].oldOffset) break;
      const Edit earlier = edits.list[k];
      edits.list[k] = edits.list[k - 1];
      edits.list[k - 1] = earlier;
    }
  }
  std::int64_t shift = 0;
  for (std::uint32_t i = 0; i < edits.count; ++i) {
    Edit& edit = edits.list[i];
    shift += std::int64_t{edit.newSize} - edit.oldSize;
    edit.shift = shift;
  }
  // Every position of the new image lies before its end, so no position
  // can wrap once the size fits.
  const std::uint32_t end = cabinet->cabinetSize;  // the signature stays out
  const std::uint64_t newSize = mapOffset(edits, end);
  if (newSize > 0xFFFFFFFFull) {
    reportError("Cabinet not handled: the new cabinet would be 4 GiB or "
                "more");
    return CabStatus::Unhandled;
  }
  auto* image = static_cast<unsigned char*>(
      allocZeroed(static_cast<std::size_t>(newSize)));
  if (image == nullptr) {
    reportError("Cannot allocate %u bytes for cabinet data",
                static_cast<std::uint32_t>(newSize));
    return CabStatus::NoMemory;
  }

  // The original's bytes around the edits, and the edits' bytes.
  std::uint32_t from = 0, to = 0;
  for (std::uint32_t i = 0; i < edits.count; ++i) {
    const Edit& edit = edits.list[i];
    std::memcpy(image + to, source.image + from, edit.oldOffset - from);
    to += edit.oldOffset - from;
    if (edit.newSize != 0) std::memcpy(image + to, edit.bytes, edit.newSize);
    to += edit.newSize;
    from = edit.oldOffset + edit.oldSize;
  }
  std::memcpy(image + to, source.image + from, end - from);

  // The fields that hold positions.
  const auto at = [&edits](std::uint32_t offset) {
    return static_cast<std::uint32_t>(mapOffset(edits, offset));
  };
  writeLE32(image + kCabinetSize, static_cast<std::uint32_t>(newSize));
  writeLE32(image + kFilesOffset, at(cabinet->filesOffset));
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
    unsigned char* entry = image + at(each.entryOffset);
    // A folder without blocks points nowhere that is read; it stays.
    if (each.blockCount != 0)
      writeLE32(entry + kFolderDataOffset, at(each.dataOffset));
    if (i == 0 && result->archCopyUpdated)
      writeLE32(entry + kFolderEntrySize + kCopyArchitecture, newArch);
    if (result->relaid && i == relayout.folder)
      writeLE16(entry + kFolderBlockCount,
                static_cast<std::uint16_t>(relayout.first + relayout.count));
  }
  // The setup XML's new size, and the members behind it in its folder.
  if (result->relaid) {
    const SetupMember& xml = pass.xml.copy;
    const CabMember& old = cabinet->members[xml.index];
    for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
      const CabMember& member = cabinet->members[i];
      unsigned char* entry = image + at(member.entryOffset);
      if (i == xml.index) {
        writeLE32(entry + kFileSize, pass.xml.plan.newSize);
      } else if (member.folder == old.folder &&
                 member.folderOffset >= old.folderOffset + old.size) {
        writeLE32(entry + kFileFolderOffset,
                  static_cast<std::uint32_t>(member.folderOffset +
                                             relayout.shift));
      }
    }
  }
  result->image = image;
  result->size = static_cast<std::uint32_t>(newSize);
  return CabStatus::Ok;
}

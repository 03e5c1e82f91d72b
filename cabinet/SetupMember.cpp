// SetupMember.cpp - finding the setup file by its first bytes.
//
// Every member of 100 bytes or more is a candidate. The candidates are
// sorted by folder and by their place in the folder's stream; each folder
// is then streamed from its start only as far as its last candidate's
// first four bytes, or the end of the setup file once one is found there.
// In the usual cabinet, where each folder's members start in its first
// block, that is one block per folder.
#include "cabinet/SetupMember.h"

#include <algorithm>  // std::sort: candidates by place
#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

namespace {

constexpr std::uint32_t kHeadSize = 4;
constexpr char kMsce[kHeadSize] = {'M', 'S', 'C', 'E'};
// Room for the names listed when several members are setup files.
constexpr std::uint32_t kNameListSize = 900;

struct Candidate {
  std::uint32_t index;  // member index
  std::uint32_t start;  // in its folder's stream
  std::uint16_t folder;
  std::uint8_t filled;  // head bytes seen
  unsigned char head[kHeadSize];
};

// The setup files seen so far, and where the first one is copied to.
struct Search {
  std::uint32_t found;
  std::uint32_t captureStart;
  std::uint32_t captureEnd;
  std::uint16_t captureFolder;
  char names[kNameListSize];
  std::uint32_t namesUsed;
};

// Copies the part of [start, start + size) that lies in [s, e) from the
// stream bytes (which begin at s) into destination (which begins at start).
std::uint32_t copyOverlap(std::uint32_t start, std::uint32_t size,
                          std::uint32_t s, std::uint32_t e,
                          const unsigned char* bytes,
                          unsigned char* destination) {
  const std::uint32_t from = start > s ? start : s;
  const std::uint32_t to = (e - start < size) ? e : start + size;
  if (from >= to) return 0;
  std::memcpy(destination + (from - start), bytes + (from - s), to - from);
  return to - from;
}

void addName(Search* search, const char* name) {
  std::uint32_t& used = search->namesUsed;
  const std::uint32_t room = kNameListSize - 1;
  if (used != 0 && used + 2 <= room) {
    std::memcpy(search->names + used, ", ", 2);
    used += 2;
  }
  std::uint32_t length = static_cast<std::uint32_t>(std::strlen(name));
  if (length > room - used) length = room - used;
  std::memcpy(search->names + used, name, length);
  used += length;
  search->names[used] = '\0';
}

// Judges a candidate whose four first bytes are in. The first setup file
// found gets its copy, starting with those bytes.
CabStatus judge(const CabinetSource& source, Cabinet* cabinet,
                Candidate* candidate, Search* search, SetupMember* member,
                std::uint32_t* needEnd) {
  if (std::memcmp(candidate->head, kMsce, kHeadSize) != 0)
    return CabStatus::Ok;
  char name[CabFormat::kMaxNameSize];
  addName(search, nameForError(*cabinet, candidate->index, name));
  if (++search->found != 1) return CabStatus::Ok;
  const CabFile& file = cabinet->fileEntries[candidate->index];
  member->bytes = static_cast<unsigned char*>(allocZeroed(file.size));
  if (member->bytes == nullptr) {
    if (!source.quiet)
      reportError("Cannot allocate %u bytes for file buffer", file.size);
    return CabStatus::NoMemory;
  }
  member->index = candidate->index;
  member->size = file.size;
  std::memcpy(member->bytes, candidate->head, kHeadSize);
  search->captureStart = candidate->start;
  search->captureEnd = candidate->start + file.size;
  search->captureFolder = candidate->folder;
  if (search->captureEnd > *needEnd) *needEnd = search->captureEnd;
  return CabStatus::Ok;
}

// Streams the folder of candidates[begin, end) as far as they need, and
// no further: the last block is decoded only up to what is needed of it.
CabStatus scanFolder(const CabinetSource& source, Cabinet* cabinet,
                     FolderReader* reader, Candidate* candidates,
                     std::uint32_t begin, std::uint32_t end, Search* search,
                     SetupMember* member) {
  const std::uint16_t folder = candidates[begin].folder;
  std::uint32_t needEnd = 0;
  for (std::uint32_t c = begin; c < end; ++c) {
    if (candidates[c].start + kHeadSize > needEnd)
      needEnd = candidates[c].start + kHeadSize;
  }

  CabStatus status = startFolder(reader, folder);
  std::uint32_t next = begin;  // the first candidate still incomplete
  const CabFolder& entry = cabinet->folders[folder];
  while (status == CabStatus::Ok && reader->nextBlock < entry.blockCount) {
    const std::uint32_t start =
        entry.blocks[reader->nextBlock].uncompressedStart;
    status = readFolderBlock(reader, needEnd - start);
    // A setup file found here may need more of this block.
    for (bool more = true; status == CabStatus::Ok && more;) {
      const std::uint32_t s = reader->dataStart;
      const std::uint32_t e = s + reader->dataSize;
      // Heads complete in stream order, so the complete ones stay in front.
      for (std::uint32_t c = next; c < end && candidates[c].start < e; ++c) {
        Candidate& candidate = candidates[c];
        copyOverlap(candidate.start, kHeadSize, s, e, reader->data,
                    candidate.head);
        const std::uint32_t seen = e - candidate.start;
        candidate.filled =
            static_cast<std::uint8_t>(seen < kHeadSize ? seen : kHeadSize);
        if (candidate.filled == kHeadSize) {
          status = judge(source, cabinet, &candidate, search, member, &needEnd);
          if (status != CabStatus::Ok) break;
          if (c == next) ++next;
        }
      }
      if (status != CabStatus::Ok) break;
      if (search->found != 0 && search->captureFolder == folder &&
          member->bytes != nullptr) {
        copyOverlap(search->captureStart,
                    search->captureEnd - search->captureStart, s, e,
                    reader->data, member->bytes);
      }
      more = e < needEnd && reader->dataSize < reader->blockSize;
      if (more) status = extendFolderBlock(reader, needEnd - s);
    }
    if (status != CabStatus::Ok ||
        reader->dataStart + reader->dataSize >= needEnd)
      break;
  }
  return status;
}

}  // namespace

CabStatus findSetupFile(const CabinetSource& source, Cabinet* cabinet,
                        SetupMember* member) {
  member->index = 0;
  member->size = 0;
  member->bytes = nullptr;

  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    if (cabinet->fileEntries[i].size >= SetupHeader::kSize) ++count;
  }
  auto* candidates = static_cast<Candidate*>(
      allocZeroed(sizeof(Candidate) * (count == 0 ? 1 : count)));
  if (candidates == nullptr) {
    if (!source.quiet)
      reportError("Cannot allocate %u bytes for cabinet data",
                  static_cast<std::uint32_t>(sizeof(Candidate) * count));
    return CabStatus::NoMemory;
  }
  std::uint32_t used = 0;
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    const CabFile& file = cabinet->fileEntries[i];
    if (file.size < SetupHeader::kSize) continue;
    candidates[used].index = i;
    candidates[used].start = file.folderOffset;
    candidates[used].folder = file.folder;
    ++used;
  }
  std::sort(candidates, candidates + count,
            [](const Candidate& a, const Candidate& b) {
              if (a.folder != b.folder) return a.folder < b.folder;
              if (a.start != b.start) return a.start < b.start;
              return a.index < b.index;
            });

  Search search = {};
  CabStatus status = CabStatus::Ok;
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  for (std::uint32_t begin = 0; begin < count && status == CabStatus::Ok;) {
    std::uint32_t end = begin + 1;
    while (end < count && candidates[end].folder == candidates[begin].folder)
      ++end;
    status = scanFolder(source, cabinet, &reader, candidates, begin, end,
                        &search, member);
    begin = end;
  }
  closeFolder(&reader);
  freeBlock(candidates);

  if (status == CabStatus::Ok && search.found == 0) {
    if (!source.quiet) reportError("No setup file in the cabinet");
    status = CabStatus::NoSetupFile;
  } else if (status == CabStatus::Ok && search.found > 1) {
    if (!source.quiet)
      reportError("Cabinet not handled: %u setup files (%s)", search.found,
                  search.names);
    status = CabStatus::Unhandled;
  }
  if (status != CabStatus::Ok) {
    freeBlock(member->bytes);
    member->bytes = nullptr;
  }
  return status;
}

CabStatus checkSetupFileAlone(const Cabinet& cabinet,
                              const SetupMember& member) {
  const CabFile& setup = cabinet.fileEntries[member.index];
  const std::uint32_t first = setup.folderOffset + SetupHeader::kChangeableFirst;
  const std::uint32_t end = setup.folderOffset + SetupHeader::kChangeableEnd;
  for (std::uint32_t i = 0; i < cabinet.fileCount; ++i) {
    const CabFile& other = cabinet.fileEntries[i];
    if (i == member.index || other.folder != setup.folder ||
        other.size == 0 || other.folderOffset >= end ||
        other.folderOffset + other.size <= first)
      continue;
    char name[CabFormat::kMaxNameSize];
    reportError("Cabinet not handled: file \"%s\" shares the setup file's "
                "header", nameForError(cabinet, i, name));
    return CabStatus::Unhandled;
  }
  return CabStatus::Ok;
}

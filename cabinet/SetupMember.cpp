// SetupMember.cpp - finding the setup file, and the families of the
// programs, by the members' first bytes.
//
// Every member of kSmallestProgram bytes or more is looked at: its head,
// its first kProgramHeadSize bytes or all of it when shorter. The members
// are sorted by folder and by where their heads end in the folder's
// stream; each folder is then streamed from its start only as far as the
// last head's end, or the end of the setup file once one is found there,
// and each member is judged as soon as its head is in. The bytes a head
// needs from blocks before the current one are kept in a tail of the
// stream's last kProgramHeadSize bytes: no member's bytes are held beyond
// its judgement, only a small record per member.
#include "cabinet/SetupMember.h"

#include <algorithm>  // std::sort: members by place
#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

namespace {

constexpr std::uint32_t kMsceSize = 4;
constexpr char kMsce[kMsceSize] = {'M', 'S', 'C', 'E'};
// Room for the names listed when several members are setup files.
constexpr std::uint32_t kNameListSize = 900;

struct Candidate {
  std::uint32_t index;    // member index
  std::uint32_t start;    // in its folder's stream
  std::uint32_t headEnd;  // start plus the size of its head
  std::uint16_t folder;
  bool setup;             // judged a setup file
};

// What a pass looks for and what it has found so far.
struct Search {
  bool copyFirst;  // copy the first setup file found into the member
  std::uint32_t found;
  ProgramFamilies programs;
  std::uint32_t captureStart;
  std::uint32_t captureEnd;
  std::uint16_t captureFolder;
  char names[kNameListSize];
  std::uint32_t namesUsed;
  // The folder's stream before the current block: its last tailSize bytes.
  std::uint32_t tailSize;
  unsigned char tail[kProgramHeadSize];
  unsigned char head[kProgramHeadSize];  // a head joined from tail and block
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

// Keeps the last kProgramHeadSize bytes of the stream, once size more of
// them (data) have gone by.
void keepTail(Search* search, const unsigned char* data, std::uint32_t size) {
  if (size >= kProgramHeadSize) {
    std::memcpy(search->tail, data + (size - kProgramHeadSize),
                kProgramHeadSize);
    search->tailSize = kProgramHeadSize;
    return;
  }
  std::uint32_t keep = kProgramHeadSize - size;
  if (keep > search->tailSize) keep = search->tailSize;
  std::memmove(search->tail, search->tail + (search->tailSize - keep), keep);
  std::memcpy(search->tail + keep, data, size);
  search->tailSize = keep + size;
}

// The head of candidate, which ends in the current block of reader: in
// the block itself, or joined from the tail and the block. Null when the
// tail does not reach back to its start (the folder was not streamed from
// its start).
const unsigned char* headOf(Search* search, const FolderReader& reader,
                            const Candidate& candidate) {
  const std::uint32_t s = reader.dataStart;
  if (candidate.start >= s) return reader.data + (candidate.start - s);
  const std::uint32_t before = s - candidate.start;
  if (before > search->tailSize) return nullptr;
  std::memcpy(search->head, search->tail + (search->tailSize - before),
              before);
  std::memcpy(search->head + before, reader.data, candidate.headEnd - s);
  return search->head;
}

// Judges a candidate whose head (size bytes) is in: a setup file, a
// program, or neither. The first setup file found gets its copy, starting
// with its head, when the search copies.
CabStatus judge(const CabinetSource& source, Cabinet* cabinet,
                Candidate* candidate, const unsigned char* head,
                std::uint32_t size, Search* search, SetupMember* member,
                std::uint32_t* needEnd) {
  const CabFile& file = cabinet->fileEntries[candidate->index];
  if (file.size < SetupHeader::kSize ||
      std::memcmp(head, kMsce, kMsceSize) != 0) {
    const ProgramFamily family = classifyProgram(head, size);
    if (family != kNoFamily)
      addProgramFamily(&search->programs, family, candidate->index);
    return CabStatus::Ok;
  }
  candidate->setup = true;
  char name[CabFormat::kMaxNameSize];
  addName(search, nameForError(*cabinet, candidate->index, name));
  if (++search->found != 1 || !search->copyFirst) return CabStatus::Ok;
  member->bytes = static_cast<unsigned char*>(allocZeroed(file.size));
  if (member->bytes == nullptr) {
    if (!source.quiet)
      reportError("Cannot allocate %u bytes for file buffer", file.size);
    return CabStatus::NoMemory;
  }
  member->index = candidate->index;
  member->size = file.size;
  std::memcpy(member->bytes, head, size);
  search->captureStart = candidate->start;
  search->captureEnd = candidate->start + file.size;
  search->captureFolder = candidate->folder;
  if (search->captureEnd > *needEnd) *needEnd = search->captureEnd;
  return CabStatus::Ok;
}

// Streams the folder of candidates[begin, end) (sorted by the ends of
// their heads) as far as they need, and no further: the last block is
// decoded only up to what is needed of it.
CabStatus scanFolder(const CabinetSource& source, Cabinet* cabinet,
                     FolderReader* reader, Candidate* candidates,
                     std::uint32_t begin, std::uint32_t end, Search* search,
                     SetupMember* member) {
  const std::uint16_t folder = candidates[begin].folder;
  std::uint32_t needEnd = candidates[end - 1].headEnd;
  search->tailSize = 0;

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
      // Heads complete in the order they are sorted in.
      for (; next < end && candidates[next].headEnd <= e; ++next) {
        Candidate& candidate = candidates[next];
        const unsigned char* head = headOf(search, *reader, candidate);
        if (head == nullptr) continue;
        status = judge(source, cabinet, &candidate, head,
                       candidate.headEnd - candidate.start, search, member,
                       &needEnd);
        if (status != CabStatus::Ok) break;
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
    keepTail(search, reader->data, reader->dataSize);
  }
  return status;
}

// A member is looked at when it can hold a PE header's offset; a setup
// file, of 100 bytes at least, always can.
bool isCandidate(const CabFile& file) {
  return file.size >= kSmallestProgram;
}

// Member i, to be looked at.
Candidate candidateFor(const Cabinet& cabinet, std::uint32_t i) {
  const CabFile& file = cabinet.fileEntries[i];
  const std::uint32_t head =
      file.size < kProgramHeadSize ? file.size : kProgramHeadSize;
  return Candidate{i, file.folderOffset, file.folderOffset + head,
                   file.folder, false};
}

// One pass over the members of candidates (count of them): each folder in
// turn, as far as their heads and the copied setup file reach.
CabStatus scanCandidates(const CabinetSource& source, Cabinet* cabinet,
                         Candidate* candidates, std::uint32_t count,
                         Search* search, SetupMember* member) {
  std::sort(candidates, candidates + count,
            [](const Candidate& a, const Candidate& b) {
              if (a.folder != b.folder) return a.folder < b.folder;
              if (a.headEnd != b.headEnd) return a.headEnd < b.headEnd;
              return a.index < b.index;
            });
  CabStatus status = CabStatus::Ok;
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  for (std::uint32_t begin = 0; begin < count && status == CabStatus::Ok;) {
    std::uint32_t end = begin + 1;
    while (end < count && candidates[end].folder == candidates[begin].folder)
      ++end;
    status = scanFolder(source, cabinet, &reader, candidates, begin, end,
                        search, member);
    begin = end;
  }
  closeFolder(&reader);
  return status;
}

// The pass over every candidate member of cabinet. The candidates come
// back in *list (count of them, release with freeBlock) with the setup
// files marked.
CabStatus scanAll(const CabinetSource& source, Cabinet* cabinet,
                  Search* search, SetupMember* member, Candidate** list,
                  std::uint32_t* count) {
  *count = 0;
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    if (isCandidate(cabinet->fileEntries[i])) ++*count;
  }
  auto* candidates = static_cast<Candidate*>(
      allocZeroed(sizeof(Candidate) * (*count == 0 ? 1 : *count)));
  *list = candidates;
  if (candidates == nullptr) {
    if (!source.quiet)
      reportError("Cannot allocate %u bytes for cabinet data",
                  static_cast<std::uint32_t>(sizeof(Candidate) * *count));
    return CabStatus::NoMemory;
  }
  std::uint32_t used = 0;
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    if (isCandidate(cabinet->fileEntries[i]))
      candidates[used++] = candidateFor(*cabinet, i);
  }
  return scanCandidates(source, cabinet, candidates, *count, search, member);
}

}  // namespace

CabStatus findSetupFile(const CabinetSource& source, Cabinet* cabinet,
                        SetupMember* member, ProgramFamilies* programs) {
  member->index = 0;
  member->size = 0;
  member->bytes = nullptr;

  Search search = {};
  search.copyFirst = true;
  Candidate* candidates = nullptr;
  std::uint32_t count = 0;
  CabStatus status =
      scanAll(source, cabinet, &search, member, &candidates, &count);
  if (status == CabStatus::Ok && search.found == 0) {
    if (!source.quiet) reportError("No setup file in the cabinet");
    status = CabStatus::NoSetupFile;
  } else if (status == CabStatus::Ok && search.found > 1) {
    if (!source.quiet)
      reportError("Cabinet not handled: %u setup files (%s)", search.found,
                  search.names);
    status = CabStatus::Unhandled;
  }
  freeBlock(candidates);
  if (status != CabStatus::Ok) {
    freeBlock(member->bytes);
    member->bytes = nullptr;
  } else if (programs != nullptr) {
    *programs = search.programs;
  }
  return status;
}

CabStatus scanCabinet(const CabinetSource& source, Cabinet* cabinet,
                      CabinetScan* scan) {
  std::memset(scan, 0, sizeof *scan);
  Search search = {};
  SetupMember none = {};
  Candidate* candidates = nullptr;
  std::uint32_t count = 0;
  CabStatus status =
      scanAll(source, cabinet, &search, &none, &candidates, &count);
  if (status == CabStatus::Ok && search.found != 0) {
    scan->setupIndices = static_cast<std::uint16_t*>(
        allocZeroed(sizeof(std::uint16_t) * search.found));
    if (scan->setupIndices == nullptr) {
      if (!source.quiet)
        reportError("Cannot allocate %u bytes for cabinet data",
                    static_cast<std::uint32_t>(sizeof(std::uint16_t) *
                                               search.found));
      status = CabStatus::NoMemory;
    }
  }
  if (status == CabStatus::Ok) {
    for (std::uint32_t c = 0; c < count; ++c) {
      if (candidates[c].setup)
        scan->setupIndices[scan->setupCount++] =
            static_cast<std::uint16_t>(candidates[c].index);
    }
    std::sort(scan->setupIndices, scan->setupIndices + scan->setupCount);
    scan->programs = search.programs;
  }
  freeBlock(candidates);
  return status;
}

CabStatus copySetupFile(const CabinetSource& source, Cabinet* cabinet,
                        std::uint32_t index, SetupMember* member) {
  member->index = 0;
  member->size = 0;
  member->bytes = nullptr;
  Search search = {};
  search.copyFirst = true;
  CabStatus status = CabStatus::Ok;
  if (index < cabinet->fileCount &&
      cabinet->fileEntries[index].size >= SetupHeader::kSize) {
    Candidate candidate = candidateFor(*cabinet, index);
    status = scanCandidates(source, cabinet, &candidate, 1, &search, member);
  }
  if (status == CabStatus::Ok && search.found == 0) {
    if (!source.quiet) reportError("No setup file in the cabinet");
    status = CabStatus::NoSetupFile;
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

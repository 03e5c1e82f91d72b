// SetupSearch.cpp - finding the setup file, and the families of the
// programs, by the members' first bytes.
//
// Every member of kSmallestProgram bytes or more is a candidate: the first
// four bytes of one of 100 bytes or more tell a setup file, and its head,
// its first kProgramHeadSize bytes or all of it when shorter, tells a
// program's family. The candidates are sorted by folder and by their place
// in the folder's stream, so as bytes come in stream order, candidates are
// judged in candidate order: as a setup file as soon as their first four
// bytes are in (before any byte a change touches has gone by), as a program
// as soon as their head is in. A folder is needed as far as its last head,
// or the end of the setup file's held bytes once one is found there. The
// bytes a head needs from blocks before the current one are kept in a tail
// of the stream's last kProgramHeadSize bytes: no member's bytes are held
// beyond its judgement, only a small record per member. In the usual
// cabinet, where each folder's members start in its first block, a display
// decodes one block per folder, or two.
#include "cabinet/SetupSearch.h"

#include <algorithm>  // std::sort: candidates by place
#include <cstddef>    // offsetof: the part of a search that starts zeroed
#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

namespace {

constexpr std::uint32_t kMsceSize = 4;
constexpr char kMsce[kMsceSize] = {'M', 'S', 'C', 'E'};
// The search looks at every member.
constexpr std::uint32_t kEveryMember = 0xFFFFFFFFu;

}  // namespace

struct SetupCandidate {
  std::uint32_t index;    // member index
  std::uint32_t start;    // in its folder's stream
  std::uint32_t headEnd;  // start plus the size of its head
  std::uint16_t folder;
  bool setup;             // judged a setup file
};

namespace {

// Copies the part of [start, start + size) that lies in [s, e) from the
// stream bytes (which begin at s) into destination (which begins at start).
void copyOverlap(std::uint32_t start, std::uint32_t size, std::uint32_t s,
                 std::uint32_t e, const unsigned char* bytes,
                 unsigned char* destination) {
  const std::uint32_t from = start > s ? start : s;
  const std::uint32_t to = (e - start < size) ? e : start + size;
  if (from >= to) return;
  std::memcpy(destination + (from - start), bytes + (from - s), to - from);
}

void addName(SetupSearch* search, const char* name) {
  std::uint32_t& used = search->namesUsed;
  const std::uint32_t room = kSetupNameListSize - 1;
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

// Keeps the last kProgramHeadSize bytes of the folder's stream, once the
// size bytes at stream position start (data) have been fed.
void keepTail(SetupSearch* search, std::uint32_t start,
              const unsigned char* data, std::uint32_t size) {
  if (start > search->tailEnd) {  // nothing before start is known
    search->tailSize = 0;
    search->tailEnd = start;
  }
  const std::uint32_t end = start + size;
  if (end <= search->tailEnd) return;  // fed before
  data += search->tailEnd - start;
  size = end - search->tailEnd;
  search->tailEnd = end;
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

// The stream bytes [begin, end), where end lies no further than the end of
// the bytes fed (which begin at stream position start): in those bytes, in
// the tail, or joined from both. Null when the tail does not reach back to
// begin (the folder was not fed from its start).
const unsigned char* joinedBytes(SetupSearch* search, std::uint32_t begin,
                                 std::uint32_t end, std::uint32_t start,
                                 const unsigned char* bytes) {
  if (begin >= start) return bytes + (begin - start);
  const std::uint32_t tailStart = search->tailEnd - search->tailSize;
  if (search->tailEnd < start || begin < tailStart) return nullptr;
  const unsigned char* inTail = search->tail + (begin - tailStart);
  if (end <= start) return inTail;  // a head that waited for another
  const std::uint32_t before = start - begin;
  std::memcpy(search->head, inTail, before);
  std::memcpy(search->head + before, bytes, end - start);
  return search->head;
}

// Judges a candidate whose four first bytes (head) are in. The first setup
// file found gets its copy, starting with those bytes, when the search
// copies.
CabStatus judgeSetup(SetupSearch* search, SetupCandidate* candidate,
                     const unsigned char* head) {
  const CabFile& file = search->cabinet->fileEntries[candidate->index];
  if (file.size < SetupHeader::kSize ||
      std::memcmp(head, kMsce, kMsceSize) != 0)
    return CabStatus::Ok;
  candidate->setup = true;
  char name[CabFormat::kMaxNameSize];
  if (nameForError(*search->cabinet, candidate->index, name) == nullptr)
    return CabStatus::ReadFailed;
  addName(search, name);
  SetupMember* member = search->member;
  if (++search->found != 1 || member == nullptr) return CabStatus::Ok;
  const std::uint32_t held =
      file.size < kSetupFileReach ? file.size : kSetupFileReach;
  member->bytes = static_cast<unsigned char*>(allocZeroed(held));
  if (member->bytes == nullptr) {
    if (!search->source->quiet)
      reportError("Cannot allocate %u bytes for file buffer", held);
    return CabStatus::NoMemory;
  }
  member->index = candidate->index;
  member->size = file.size;
  member->held = held;
  std::memcpy(member->bytes, head, kMsceSize);
  search->captureFolder = candidate->folder;
  search->captureStart = candidate->start;
  search->captureEnd = candidate->start + held;
  return CabStatus::Ok;
}

// Judges a candidate whose head is in: the family of a program, unless it
// is the setup file.
void judgeProgram(SetupSearch* search, const SetupCandidate& candidate,
                  const unsigned char* head) {
  if (candidate.setup) return;
  const ProgramFamily family =
      classifyProgram(head, candidate.headEnd - candidate.start);
  if (family != kNoFamily)
    addProgramFamily(&search->programs, family, candidate.index);
}

// Moves the search to folder: candidates of earlier folders are behind it.
void enterFolder(SetupSearch* search, std::uint16_t folder) {
  if (search->folder == folder && search->headsEnd != 0) return;
  search->folder = folder;
  while (search->next < search->count &&
         search->candidates[search->next].folder < folder)
    ++search->next;
  while (search->nextHead < search->count &&
         search->candidates[search->nextHead].folder < folder)
    ++search->nextHead;
  search->headsEnd = 0;
  for (std::uint32_t c = search->nextHead;
       c < search->count && search->candidates[c].folder == folder; ++c) {
    if (search->candidates[c].headEnd > search->headsEnd)
      search->headsEnd = search->candidates[c].headEnd;
  }
  search->tailEnd = 0;
  search->tailSize = 0;
}

// A member is looked at when it can hold a PE header's offset; a setup
// file, of 100 bytes at least, always can.
bool isCandidate(const CabFile& file) {
  return file.size >= kSmallestProgram;
}

// Starts a search over member only, or every member (kEveryMember).
CabStatus startSearchOf(SetupSearch* search, const CabinetSource& source,
                        Cabinet* cabinet, SetupMember* member,
                        std::uint32_t only) {
  // All but the tail and the joined head, which are written before they
  // are read (tailSize says how much of the tail is).
  std::memset(search, 0, offsetof(SetupSearch, tail));
  search->source = &source;
  search->cabinet = cabinet;
  search->member = member;
  if (member != nullptr) {
    member->index = 0;
    member->size = 0;
    member->held = 0;
    member->bytes = nullptr;
  }
  const auto looked = [cabinet, only](std::uint32_t i) {
    return (only == kEveryMember || i == only) &&
           isCandidate(cabinet->fileEntries[i]);
  };

  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    if (looked(i)) ++count;
  }
  search->candidates = static_cast<SetupCandidate*>(
      allocZeroed(sizeof(SetupCandidate) * (count == 0 ? 1 : count)));
  if (search->candidates == nullptr) {
    if (!source.quiet)
      reportError("Cannot allocate %u bytes for cabinet data",
                  static_cast<std::uint32_t>(sizeof(SetupCandidate) * count));
    return CabStatus::NoMemory;
  }
  search->count = count;
  std::uint32_t used = 0;
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    if (!looked(i)) continue;
    const CabFile& file = cabinet->fileEntries[i];
    const std::uint32_t head =
        file.size < kProgramHeadSize ? file.size : kProgramHeadSize;
    search->candidates[used++] = {i, file.folderOffset,
                                  file.folderOffset + head, file.folder,
                                  false};
  }
  std::sort(search->candidates, search->candidates + count,
            [](const SetupCandidate& a, const SetupCandidate& b) {
              if (a.folder != b.folder) return a.folder < b.folder;
              if (a.start != b.start) return a.start < b.start;
              return a.index < b.index;
            });
  return CabStatus::Ok;
}

// Feeds search each folder with a candidate, from its start and only as
// far as the search needs: its last block is decoded only up to there.
CabStatus feedSearch(const CabinetSource& source, Cabinet* cabinet,
                     SetupSearch* search) {
  CabStatus status = CabStatus::Ok;
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  for (std::uint32_t c = 0; status == CabStatus::Ok && c < search->count;) {
    const std::uint16_t folder = search->candidates[c].folder;
    const CabFolder& entry = cabinet->folders[folder];
    status = startFolder(&reader, folder);
    while (status == CabStatus::Ok && reader.nextBlock < entry.blockCount) {
      const std::uint32_t blockStart = reader.dataStart + reader.blockSize;
      std::uint32_t end = setupSearchEnd(search, folder);
      if (blockStart >= end) break;
      status = readFolderBlock(&reader, end - blockStart);
      // A setup file found here may need more of this block.
      while (status == CabStatus::Ok) {
        status = searchFolderBytes(search, folder, reader.dataStart,
                                   reader.data, reader.dataSize);
        end = setupSearchEnd(search, folder);
        const std::uint32_t done = reader.dataStart + reader.dataSize;
        if (status != CabStatus::Ok || done >= end ||
            reader.dataSize == reader.blockSize)
          break;
        status = extendFolderBlock(&reader, end - reader.dataStart);
      }
    }
    while (c < search->count && search->candidates[c].folder == folder) ++c;
  }
  closeFolder(&reader);
  return status;
}

}  // namespace

CabStatus startSetupSearch(SetupSearch* search, const CabinetSource& source,
                           Cabinet* cabinet, SetupMember* member) {
  return startSearchOf(search, source, cabinet, member, kEveryMember);
}

std::uint32_t setupSearchEnd(SetupSearch* search, std::uint16_t folder) {
  enterFolder(search, folder);
  std::uint32_t end = search->headsEnd;
  if (setupFileFound(*search) && search->captureFolder == folder &&
      search->captureEnd > end)
    end = search->captureEnd;
  return end;
}

CabStatus searchFolderBytes(SetupSearch* search, std::uint16_t folder,
                            std::uint32_t start, const unsigned char* bytes,
                            std::uint32_t size) {
  enterFolder(search, folder);
  const std::uint32_t e = start + size;
  // Setup files, judged in stream order by their first four bytes.
  for (; search->next < search->count; ++search->next) {
    SetupCandidate& candidate = search->candidates[search->next];
    if (candidate.folder != folder || candidate.start + kMsceSize > e) break;
    const unsigned char* head = joinedBytes(
        search, candidate.start, candidate.start + kMsceSize, start, bytes);
    if (head == nullptr) continue;
    const CabStatus status = judgeSetup(search, &candidate, head);
    if (status != CabStatus::Ok) return status;
  }
  // Programs, by their heads. A head complete before one placed earlier
  // waits for it; as that one started less than kProgramHeadSize bytes
  // before these bytes, the tail still reaches back to both.
  for (; search->nextHead < search->count; ++search->nextHead) {
    const SetupCandidate& candidate = search->candidates[search->nextHead];
    if (candidate.folder != folder || candidate.headEnd > e) break;
    const unsigned char* head =
        joinedBytes(search, candidate.start, candidate.headEnd, start, bytes);
    if (head != nullptr) judgeProgram(search, candidate, head);
  }
  SetupMember* member = search->member;
  if (setupFileFound(*search) && search->captureFolder == folder)
    copyOverlap(search->captureStart, member->held, start, e, bytes,
                member->bytes);
  // The tail, while a head of the folder is still to come.
  if (search->nextHead < search->count &&
      search->candidates[search->nextHead].folder == folder)
    keepTail(search, start, bytes, size);
  return CabStatus::Ok;
}

bool setupFileFound(const SetupSearch& search) {
  return search.member != nullptr && search.member->bytes != nullptr;
}

CabStatus endSetupSearch(SetupSearch* search, CabStatus status) {
  const bool quiet = search->source->quiet;
  SetupMember* member = search->member;
  if (member != nullptr && status == CabStatus::Ok && search->found == 0) {
    if (!quiet) reportError("No setup file in the cabinet");
    status = CabStatus::NoSetupFile;
  } else if (member != nullptr && status == CabStatus::Ok &&
             search->found > 1) {
    if (!quiet)
      reportError("Cabinet not handled: %u setup files (%s)", search->found,
                  search->names);
    status = CabStatus::Unhandled;
  }
  if (member != nullptr && status != CabStatus::Ok) {
    freeBlock(member->bytes);
    member->bytes = nullptr;
  }
  freeBlock(search->candidates);
  search->candidates = nullptr;
  return status;
}

CabStatus findSetupFile(const CabinetSource& source, Cabinet* cabinet,
                        SetupMember* member, ProgramFamilies* programs) {
  SetupSearch search;
  CabStatus status = startSetupSearch(&search, source, cabinet, member);
  if (status == CabStatus::Ok) status = feedSearch(source, cabinet, &search);
  status = endSetupSearch(&search, status);
  if (status == CabStatus::Ok && programs != nullptr)
    *programs = search.programs;
  return status;
}

CabStatus scanCabinet(const CabinetSource& source, Cabinet* cabinet,
                      CabinetScan* scan) {
  std::memset(scan, 0, sizeof *scan);
  SetupSearch search;
  CabStatus status = startSetupSearch(&search, source, cabinet, nullptr);
  if (status == CabStatus::Ok) status = feedSearch(source, cabinet, &search);
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
    for (std::uint32_t c = 0; c < search.count; ++c) {
      if (search.candidates[c].setup)
        scan->setupIndices[scan->setupCount++] =
            static_cast<std::uint16_t>(search.candidates[c].index);
    }
    std::sort(scan->setupIndices, scan->setupIndices + scan->setupCount);
    scan->programs = search.programs;
  }
  return endSetupSearch(&search, status);
}

CabStatus copySetupFile(const CabinetSource& source, Cabinet* cabinet,
                        std::uint32_t index, SetupMember* member) {
  SetupSearch search;
  CabStatus status =
      startSearchOf(&search, source, cabinet, member, index);
  if (status == CabStatus::Ok) status = feedSearch(source, cabinet, &search);
  return endSetupSearch(&search, status);
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
    if (nameForError(cabinet, i, name) == nullptr) return CabStatus::ReadFailed;
    reportError("Cabinet not handled: file \"%s\" shares the setup file's "
                "header", name);
    return CabStatus::Unhandled;
  }
  return CabStatus::Ok;
}

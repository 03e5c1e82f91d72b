// SetupMember.cpp - finding the setup file by its first bytes.
//
// Every member of 100 bytes or more is a candidate. The candidates are
// sorted by folder and by their place in the folder's stream, so as bytes
// come in stream order, heads complete in candidate order. A folder is
// needed as far as its last candidate's first four bytes, or the end of
// the setup file's held bytes once one is found there. In the usual
// cabinet, where each folder's members start in its first block, a display
// decodes one block per folder.
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

}  // namespace

struct SetupCandidate {
  std::uint32_t index;  // member index
  std::uint32_t start;  // in its folder's stream
  std::uint16_t folder;
  unsigned char head[kHeadSize];
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

// Judges a candidate whose four first bytes are in. The first setup file
// found gets its copy, starting with those bytes.
CabStatus judge(SetupSearch* search, const SetupCandidate& candidate) {
  if (std::memcmp(candidate.head, kMsce, kHeadSize) != 0) return CabStatus::Ok;
  char name[CabFormat::kMaxNameSize];
  addName(search, nameForError(*search->cabinet, candidate.index, name));
  if (++search->found != 1) return CabStatus::Ok;
  const CabFile& file = search->cabinet->fileEntries[candidate.index];
  SetupMember* member = search->member;
  const std::uint32_t held =
      file.size < kSetupFileReach ? file.size : kSetupFileReach;
  member->bytes = static_cast<unsigned char*>(allocZeroed(held));
  if (member->bytes == nullptr) {
    if (!search->source->quiet)
      reportError("Cannot allocate %u bytes for file buffer", held);
    return CabStatus::NoMemory;
  }
  member->index = candidate.index;
  member->size = file.size;
  member->held = held;
  std::memcpy(member->bytes, candidate.head, kHeadSize);
  search->captureFolder = candidate.folder;
  search->captureStart = candidate.start;
  search->captureEnd = candidate.start + held;
  return CabStatus::Ok;
}

// Moves the search to folder: candidates of earlier folders are behind it.
void enterFolder(SetupSearch* search, std::uint16_t folder) {
  if (search->folder == folder && search->headsEnd != 0) return;
  search->folder = folder;
  while (search->next < search->count &&
         search->candidates[search->next].folder < folder)
    ++search->next;
  // The folder's last candidate starts last.
  search->headsEnd = 0;
  for (std::uint32_t c = search->next;
       c < search->count && search->candidates[c].folder == folder; ++c)
    search->headsEnd = search->candidates[c].start + kHeadSize;
}

}  // namespace

CabStatus startSetupSearch(SetupSearch* search, const CabinetSource& source,
                           Cabinet* cabinet, SetupMember* member) {
  std::memset(search, 0, sizeof *search);
  search->source = &source;
  search->cabinet = cabinet;
  search->member = member;
  member->index = 0;
  member->size = 0;
  member->held = 0;
  member->bytes = nullptr;

  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < cabinet->fileCount; ++i) {
    if (cabinet->fileEntries[i].size >= SetupHeader::kSize) ++count;
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
    const CabFile& file = cabinet->fileEntries[i];
    if (file.size < SetupHeader::kSize) continue;
    search->candidates[used].index = i;
    search->candidates[used].start = file.folderOffset;
    search->candidates[used].folder = file.folder;
    ++used;
  }
  std::sort(search->candidates, search->candidates + count,
            [](const SetupCandidate& a, const SetupCandidate& b) {
              if (a.folder != b.folder) return a.folder < b.folder;
              if (a.start != b.start) return a.start < b.start;
              return a.index < b.index;
            });
  return CabStatus::Ok;
}

std::uint32_t setupSearchEnd(SetupSearch* search, std::uint16_t folder) {
  enterFolder(search, folder);
  std::uint32_t end = search->headsEnd;
  if (search->member->bytes != nullptr && search->captureFolder == folder &&
      search->captureEnd > end)
    end = search->captureEnd;
  return end;
}

CabStatus searchFolderBytes(SetupSearch* search, std::uint16_t folder,
                            std::uint32_t start, const unsigned char* bytes,
                            std::uint32_t size) {
  enterFolder(search, folder);
  const std::uint32_t s = start;
  const std::uint32_t e = start + size;
  // Heads complete in stream order, so the complete ones stay in front.
  for (; search->next < search->count; ++search->next) {
    SetupCandidate& candidate = search->candidates[search->next];
    if (candidate.folder != folder || candidate.start >= e) break;
    copyOverlap(candidate.start, kHeadSize, s, e, bytes, candidate.head);
    if (e - candidate.start < kHeadSize) break;
    const CabStatus status = judge(search, candidate);
    if (status != CabStatus::Ok) return status;
  }
  SetupMember* member = search->member;
  if (member->bytes != nullptr && search->captureFolder == folder)
    copyOverlap(search->captureStart, member->held, s, e, bytes,
                member->bytes);
  return CabStatus::Ok;
}

bool setupFileFound(const SetupSearch& search) {
  return search.member->bytes != nullptr;
}

CabStatus endSetupSearch(SetupSearch* search, CabStatus status) {
  const bool quiet = search->source->quiet;
  if (status == CabStatus::Ok && search->found == 0) {
    if (!quiet) reportError("No setup file in the cabinet");
    status = CabStatus::NoSetupFile;
  } else if (status == CabStatus::Ok && search->found > 1) {
    if (!quiet)
      reportError("Cabinet not handled: %u setup files (%s)", search->found,
                  search->names);
    status = CabStatus::Unhandled;
  }
  if (status != CabStatus::Ok) {
    freeBlock(search->member->bytes);
    search->member->bytes = nullptr;
  }
  freeBlock(search->candidates);
  search->candidates = nullptr;
  return status;
}

CabStatus findSetupFile(const CabinetSource& source, Cabinet* cabinet,
                        SetupMember* member) {
  SetupSearch search;
  CabStatus status = startSetupSearch(&search, source, cabinet, member);
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  // Each folder with a candidate, from its start and only as far as the
  // search needs: its last block is decoded only up to there.
  for (std::uint32_t c = 0; status == CabStatus::Ok && c < search.count;) {
    const std::uint16_t folder = search.candidates[c].folder;
    const CabFolder& entry = cabinet->folders[folder];
    status = startFolder(&reader, folder);
    while (status == CabStatus::Ok && reader.nextBlock < entry.blockCount) {
      const std::uint32_t blockStart = reader.dataStart + reader.blockSize;
      std::uint32_t end = setupSearchEnd(&search, folder);
      if (blockStart >= end) break;
      status = readFolderBlock(&reader, end - blockStart);
      // A setup file found here may need more of this block.
      while (status == CabStatus::Ok) {
        status = searchFolderBytes(&search, folder, reader.dataStart,
                                   reader.data, reader.dataSize);
        end = setupSearchEnd(&search, folder);
        const std::uint32_t done = reader.dataStart + reader.dataSize;
        if (status != CabStatus::Ok || done >= end ||
            reader.dataSize == reader.blockSize)
          break;
        status = extendFolderBlock(&reader, end - reader.dataStart);
      }
    }
    while (c < search.count && search.candidates[c].folder == folder) ++c;
  }
  closeFolder(&reader);
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
    reportError("Cabinet not handled: file \"%s\" shares the setup file's "
                "header", nameForError(cabinet, i, name));
    return CabStatus::Unhandled;
  }
  return CabStatus::Ok;
}

// SetupSearch.cpp - finding the setup file by the members' first bytes,
// and copying out as much of it as its header can refer to.
//
// The walk over the members' starts and heads (MemberHeads.cpp) tells the
// search of each start, before any byte a change touches has gone by: one
// of a member of 100 bytes or more that reads "MSCE" is a setup file. The
// first one found is copied as its bytes go by; a folder is needed as far
// as its last head, or the end of the setup file's held bytes once one is
// found there. Each head that is not a setup file's goes to the programs'
// families (Programs.h).
#include "cabinet/SetupSearch.h"

#include <algorithm>  // std::sort: setup files in member order
#include <cstddef>    // offsetof: the part of a search that starts zeroed
#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/FileTable.h"
#include "cabinet/FolderReader.h"
#include "header/SetupHeader.h"
#include "header/SetupXml.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

namespace {

constexpr char kMsce[kHeadStartSize] = {'M', 'S', 'C', 'E'};

}  // namespace

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

// Judges a candidate whose start is in (bytes: its first kHeadStartSize).
// The first setup file found gets its copy, starting with those bytes,
// when the search copies.
CabStatus judgeSetup(void* context, HeadCandidate* candidate,
                     const unsigned char* bytes) {
  auto* search = static_cast<SetupSearch*>(context);
  const CabMember& file = search->cabinet->members[candidate->index];
  if (file.size < SetupHeader::kSize ||
      std::memcmp(bytes, kMsce, kHeadStartSize) != 0)
    return CabStatus::Ok;
  candidate->claimed = true;
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
  std::memcpy(member->bytes, bytes, kHeadStartSize);
  search->captureFolder = candidate->folder;
  search->captureStart = candidate->start;
  search->captureEnd = candidate->start + held;
  return CabStatus::Ok;
}

// A candidate's head is in: the family of a program, unless it is the
// setup file.
void judgeProgram(void* context, const HeadCandidate& candidate,
                  const unsigned char* bytes, std::uint32_t size) {
  auto* search = static_cast<SetupSearch*>(context);
  if (!candidate.claimed)
    noteProgramHead(&search->programs, bytes, size, candidate.index);
}

// Starts a search over member only, or every member (kEveryMember).
CabStatus startSearchOf(SetupSearch* search, const CabinetSource& source,
                        Cabinet* cabinet, SetupMember* member,
                        std::uint32_t only) {
  // All but the walk, which starts itself.
  std::memset(search, 0, offsetof(SetupSearch, heads));
  search->source = &source;
  search->cabinet = cabinet;
  search->member = member;
  if (member != nullptr) {
    member->index = 0;
    member->size = 0;
    member->held = 0;
    member->bytes = nullptr;
  }
  return startMemberHeads(&search->heads, source, *cabinet, only);
}

// Feeds search each folder that holds a candidate or the setup XML, from
// its start and only as far as the search needs: its last block is decoded
// only up to there.
CabStatus feedSearch(const CabinetSource& source, Cabinet* cabinet,
                     SetupSearch* search) {
  CabStatus status = CabStatus::Ok;
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  for (std::uint16_t folder = 0;
       status == CabStatus::Ok && folder < cabinet->folderCount; ++folder) {
    if (setupSearchEnd(search, folder) == 0) continue;
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
  }
  closeFolder(&reader);
  return status;
}

}  // namespace

CabStatus startSetupSearch(SetupSearch* search, const CabinetSource& source,
                           Cabinet* cabinet, SetupMember* member) {
  return startSearchOf(search, source, cabinet, member, kEveryMember);
}

CabStatus copySetupXmlToo(SetupSearch* search, SetupMember* xml) {
  *xml = SetupMember{};
  const Cabinet& cabinet = *search->cabinet;
  if (cabinet.setupXmlCount == 0) return CabStatus::Ok;
  search->xml = xml;
  const CabMember& file = cabinet.members[cabinet.setupXmlIndex];
  xml->index = cabinet.setupXmlIndex;
  xml->size = file.size;
  if (file.size > kSetupXmlSizeLimit) return CabStatus::Ok;
  xml->bytes = static_cast<unsigned char*>(
      allocCabinetTable(*search->source, file.size, 1));
  if (xml->bytes == nullptr) return CabStatus::NoMemory;
  xml->held = file.size;
  search->xmlEnd = file.folderOffset + file.size;
  return CabStatus::Ok;
}

std::uint32_t setupSearchEnd(SetupSearch* search, std::uint16_t folder) {
  std::uint32_t end = memberHeadsEnd(&search->heads, folder);
  if (setupFileFound(*search) && search->captureFolder == folder &&
      search->captureEnd > end)
    end = search->captureEnd;
  const SetupMember* xml = search->xml;
  if (xml != nullptr && xml->bytes != nullptr &&
      search->cabinet->members[xml->index].folder == folder &&
      search->xmlEnd > end)
    end = search->xmlEnd;
  return end;
}

CabStatus searchFolderBytes(SetupSearch* search, std::uint16_t folder,
                            std::uint32_t start, const unsigned char* bytes,
                            std::uint32_t size) {
  const HeadHandlers handlers = {search, judgeSetup, judgeProgram};
  const CabStatus status =
      feedMemberHeads(&search->heads, folder, start, bytes, size, handlers);
  if (status != CabStatus::Ok) return status;
  SetupMember* member = search->member;
  if (setupFileFound(*search) && search->captureFolder == folder)
    copyOverlap(search->captureStart, member->held, start, start + size,
                bytes, member->bytes);
  SetupMember* xml = search->xml;
  if (xml != nullptr && xml->bytes != nullptr) {
    const CabMember& file = search->cabinet->members[xml->index];
    if (file.folder == folder)
      copyOverlap(file.folderOffset, xml->held, start, start + size, bytes,
                  xml->bytes);
  }
  return CabStatus::Ok;
}

bool setupFileFound(const SetupSearch& search) {
  return search.member != nullptr && search.member->bytes != nullptr;
}

CabStatus endSetupSearch(SetupSearch* search, CabStatus status) {
  const bool quiet = search->source->quiet;
  SetupMember* member = search->member;
  // A setup XML stands in for a missing setup file.
  if (member != nullptr && status == CabStatus::Ok && search->found == 0 &&
      search->xml != nullptr) {
    // Nothing to say: the setup XML is all the cabinet carries.
  } else if (member != nullptr && status == CabStatus::Ok &&
             search->found == 0) {
    if (!quiet) reportError("No setup file in the cabinet");
    status = CabStatus::NoSetupFile;
  } else if (member != nullptr && status == CabStatus::Ok &&
             search->found > 1) {
    if (!quiet)
      reportError("Cabinet not handled: %u setup files (%s)", search->found,
                  search->names);
    status = CabStatus::SeveralSetupFiles;
  }
  if (member != nullptr && status != CabStatus::Ok) {
    freeBlock(member->bytes);
    member->bytes = nullptr;
  }
  if (search->xml != nullptr && status != CabStatus::Ok) {
    freeBlock(search->xml->bytes);
    search->xml->bytes = nullptr;
  }
  endMemberHeads(&search->heads);
  return status;
}

CabStatus findSetupFile(const CabinetSource& source, Cabinet* cabinet,
                        SetupMember* member, ProgramFamilies* programs,
                        SetupMember* xml) {
  SetupSearch search;
  CabStatus status = startSetupSearch(&search, source, cabinet, member);
  if (status == CabStatus::Ok && xml != nullptr)
    status = copySetupXmlToo(&search, xml);
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
    const MemberHeads& heads = search.heads;
    for (std::uint32_t c = 0; c < heads.count; ++c) {
      if (heads.candidates[c].claimed)
        scan->setupIndices[scan->setupCount++] =
            static_cast<std::uint16_t>(heads.candidates[c].index);
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

CabStatus copySetupXml(const CabinetSource& source, Cabinet* cabinet,
                       SetupMember* xml) {
  // A search for no setup file: the member looked at is the XML itself.
  SetupSearch search;
  CabStatus status = startSearchOf(&search, source, cabinet, nullptr,
                                   cabinet->setupXmlIndex);
  if (status == CabStatus::Ok) status = copySetupXmlToo(&search, xml);
  if (status == CabStatus::Ok) status = feedSearch(source, cabinet, &search);
  return endSetupSearch(&search, status);
}

CabStatus checkSetupFileAlone(const Cabinet& cabinet,
                              const SetupMember& member) {
  const CabMember& setup = cabinet.members[member.index];
  const std::uint32_t first =
      setup.folderOffset + SetupHeader::kChangeableFirst;
  const std::uint32_t end = setup.folderOffset + SetupHeader::kChangeableEnd;
  for (std::uint32_t i = 0; i < cabinet.fileCount; ++i) {
    const CabMember& other = cabinet.members[i];
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

// MemberHeads.cpp - the starts and heads of a cabinet's members, by the
// folders' bytes in stream order.
//
// The candidates are sorted by folder and by their place in the folder's
// stream, so as bytes come in stream order, candidates are told in
// candidate order: their start as soon as its bytes are in, their head as
// soon as it is whole. A head complete before one placed earlier waits for
// it; as that one started less than kProgramHeadSize bytes before the bytes
// fed, the tail still reaches back to both. In the usual cabinet, where
// each folder's members start in its first block, the walk needs one block
// per folder, or two.
#include "cabinet/MemberHeads.h"

#include <algorithm>  // std::sort: candidates by place
#include <cstddef>    // offsetof: the part of a walk that starts zeroed
#include <cstring>

#include "header/SetupHeader.h"
#include "runtime/Runtime.h"

static_assert(kSmallestCandidate <= SetupHeader::kSize,
              "every setup file is looked at");
static_assert(kHeadStartSize <= kProgramHeadSize, "a start lies in a head");

namespace {

// Keeps the last kProgramHeadSize bytes of the folder's stream, once the
// size bytes at stream position start (data) have been fed.
void keepTail(MemberHeads* heads, std::uint32_t start,
              const unsigned char* data, std::uint32_t size) {
  if (start > heads->tailEnd) {  // nothing before start is known
    heads->tailSize = 0;
    heads->tailEnd = start;
  }
  const std::uint32_t end = start + size;
  if (end <= heads->tailEnd) return;  // fed before
  data += heads->tailEnd - start;
  size = end - heads->tailEnd;
  heads->tailEnd = end;
  if (size >= kProgramHeadSize) {
    std::memcpy(heads->tail, data + (size - kProgramHeadSize),
                kProgramHeadSize);
    heads->tailSize = kProgramHeadSize;
    return;
  }
  std::uint32_t keep = kProgramHeadSize - size;
  if (keep > heads->tailSize) keep = heads->tailSize;
  std::memmove(heads->tail, heads->tail + (heads->tailSize - keep), keep);
  std::memcpy(heads->tail + keep, data, size);
  heads->tailSize = keep + size;
}

// The stream bytes [begin, end), where end lies no further than the end of
// the bytes fed (which begin at stream position start): in those bytes, in
// the tail, or joined from both. Null when the tail does not reach back to
// begin (the folder was not fed from its start).
const unsigned char* joinedBytes(MemberHeads* heads, std::uint32_t begin,
                                 std::uint32_t end, std::uint32_t start,
                                 const unsigned char* bytes) {
  if (begin >= start) return bytes + (begin - start);
  const std::uint32_t tailStart = heads->tailEnd - heads->tailSize;
  if (heads->tailEnd < start || begin < tailStart) return nullptr;
  const unsigned char* inTail = heads->tail + (begin - tailStart);
  if (end <= start) return inTail;  // a head that waited for another
  const std::uint32_t before = start - begin;
  std::memcpy(heads->head, inTail, before);
  std::memcpy(heads->head + before, bytes, end - start);
  return heads->head;
}

// Moves the walk to folder: candidates of earlier folders are behind it.
void enterFolder(MemberHeads* heads, std::uint16_t folder) {
  if (heads->folder == folder && heads->headsEnd != 0) return;
  heads->folder = folder;
  while (heads->next < heads->count &&
         heads->candidates[heads->next].folder < folder)
    ++heads->next;
  while (heads->nextHead < heads->count &&
         heads->candidates[heads->nextHead].folder < folder)
    ++heads->nextHead;
  heads->headsEnd = 0;
  for (std::uint32_t c = heads->nextHead;
       c < heads->count && heads->candidates[c].folder == folder; ++c) {
    if (heads->candidates[c].headEnd > heads->headsEnd)
      heads->headsEnd = heads->candidates[c].headEnd;
  }
  heads->tailEnd = 0;
  heads->tailSize = 0;
}

}  // namespace

CabStatus startMemberHeads(MemberHeads* heads, const CabinetSource& source,
                           const Cabinet& cabinet, std::uint32_t only) {
  // All but the tail and the joined head, which are written before they
  // are read (tailSize says how much of the tail is).
  std::memset(heads, 0, offsetof(MemberHeads, tail));
  const auto looked = [&cabinet, only](std::uint32_t i) {
    return (only == kEveryMember || i == only) &&
           cabinet.members[i].size >= kSmallestCandidate;
  };
  std::uint32_t count = 0;
  for (std::uint32_t i = 0; i < cabinet.fileCount; ++i) {
    if (looked(i)) ++count;
  }
  heads->candidates = static_cast<HeadCandidate*>(
      allocCabinetTable(source, count, sizeof(HeadCandidate)));
  if (heads->candidates == nullptr) return CabStatus::NoMemory;
  heads->count = count;
  std::uint32_t used = 0;
  for (std::uint32_t i = 0; i < cabinet.fileCount; ++i) {
    if (!looked(i)) continue;
    const CabMember& member = cabinet.members[i];
    const std::uint32_t head =
        member.size < kProgramHeadSize ? member.size : kProgramHeadSize;
    heads->candidates[used++] = {i, member.folderOffset,
                                 member.folderOffset + head, member.folder,
                                 false};
  }
  std::sort(heads->candidates, heads->candidates + count,
            [](const HeadCandidate& a, const HeadCandidate& b) {
              if (a.folder != b.folder) return a.folder < b.folder;
              if (a.start != b.start) return a.start < b.start;
              return a.index < b.index;
            });
  return CabStatus::Ok;
}

std::uint32_t memberHeadsEnd(MemberHeads* heads, std::uint16_t folder) {
  enterFolder(heads, folder);
  return heads->headsEnd;
}

CabStatus feedMemberHeads(MemberHeads* heads, std::uint16_t folder,
                          std::uint32_t start, const unsigned char* bytes,
                          std::uint32_t size, const HeadHandlers& handlers) {
  enterFolder(heads, folder);
  const std::uint32_t e = start + size;
  // Starts, in stream order.
  for (; heads->next < heads->count; ++heads->next) {
    HeadCandidate& candidate = heads->candidates[heads->next];
    if (candidate.folder != folder || candidate.start + kHeadStartSize > e)
      break;
    const unsigned char* first = joinedBytes(
        heads, candidate.start, candidate.start + kHeadStartSize, start, bytes);
    if (first == nullptr) continue;
    const CabStatus status = handlers.start(handlers.context, &candidate,
                                            first);
    if (status != CabStatus::Ok) return status;
  }
  // Heads, once whole.
  for (; heads->nextHead < heads->count; ++heads->nextHead) {
    const HeadCandidate& candidate = heads->candidates[heads->nextHead];
    if (candidate.folder != folder || candidate.headEnd > e) break;
    const unsigned char* head =
        joinedBytes(heads, candidate.start, candidate.headEnd, start, bytes);
    if (head != nullptr)
      handlers.head(handlers.context, candidate, head,
                    candidate.headEnd - candidate.start);
  }
  // The tail, while a head of the folder is still to come.
  if (heads->nextHead < heads->count &&
      heads->candidates[heads->nextHead].folder == folder)
    keepTail(heads, start, bytes, size);
  return CabStatus::Ok;
}

void endMemberHeads(MemberHeads* heads) {
  freeBlock(heads->candidates);
  heads->candidates = nullptr;
}

// MemberHeads.h - the first bytes of a cabinet's members, taken as its
// folders' decoded bytes go by in stream order.
//
// Each member that is looked at (a candidate) has a start, its first
// kHeadStartSize bytes, and a head, its first kProgramHeadSize bytes or all
// of it when shorter. The caller is told of each as soon as its bytes are
// in: a start before any byte behind it has gone by, a head once it is
// whole. A start or head that crosses blocks is joined from a tail of the
// stream's last kProgramHeadSize bytes, so no member's bytes are held
// beyond its turn, only a small record per candidate.
#ifndef SETUPHDR_CABINET_MEMBERHEADS_H
#define SETUPHDR_CABINET_MEMBERHEADS_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/Programs.h"

/// The bytes of a member's start: enough for a signature ("MSCE").
constexpr std::uint32_t kHeadStartSize = 4;

/// Members are looked at from this size on: a smaller one can be neither a
/// program (kSmallestProgram) nor a setup file (at least 100 bytes).
constexpr std::uint32_t kSmallestCandidate = kSmallestProgram;

/// Every member is looked at (for startMemberHeads).
constexpr std::uint32_t kEveryMember = 0xFFFFFFFFu;

/// One member looked at.
struct HeadCandidate {
  std::uint32_t index;    // member index
  std::uint32_t start;    // in its folder's stream
  std::uint32_t headEnd;  // start plus the size of its head
  std::uint16_t folder;
  bool claimed;           // its start made it something other than a program
};

/// What the caller is told, with context: start when a candidate's first
/// kHeadStartSize bytes are in (it may set claimed; a failure stops the
/// feed), head when its whole head is in (size bytes).
struct HeadHandlers {
  void* context;
  CabStatus (*start)(void* context, HeadCandidate* candidate,
                     const unsigned char* bytes);
  void (*head)(void* context, const HeadCandidate& candidate,
               const unsigned char* bytes, std::uint32_t size);
};

/// The state of one walk over the heads; its fields are its own.
struct MemberHeads {
  HeadCandidate* candidates;  // sorted by folder and place
  std::uint32_t count;
  std::uint32_t next;      // the first candidate whose start is not in
  std::uint32_t nextHead;  // the first candidate whose head is not in
  std::uint16_t folder;    // the folder fed last
  std::uint32_t headsEnd;  // where its candidates' heads end
  // The folder's stream before the bytes fed last: its last tailSize bytes,
  // ending at tailEnd, so that a head crossing a block can be joined. The
  // two buffers stay last: a walk starts zeroed up to them.
  std::uint32_t tailEnd;
  std::uint32_t tailSize;
  unsigned char tail[kProgramHeadSize];
  unsigned char head[kProgramHeadSize];  // a head joined from tail and bytes
};

/// Starts a walk over the members of cabinet of kSmallestCandidate bytes
/// or more: all of them, or only member only. NoMemory after its line.
CabStatus startMemberHeads(MemberHeads* heads, const CabinetSource& source,
                           const Cabinet& cabinet, std::uint32_t only);

/// Where in folder's stream the heads of its candidates end: 0 when it has
/// none.
std::uint32_t memberHeadsEnd(MemberHeads* heads, std::uint16_t folder);

/// Feeds size decoded bytes of folder that start at stream position start,
/// telling handlers of every start and head now in. Folders come in order
/// and each folder's bytes in stream order from its start, without a gap;
/// bytes may be fed again. Returns the first failure of handlers.start.
CabStatus feedMemberHeads(MemberHeads* heads, std::uint16_t folder,
                          std::uint32_t start, const unsigned char* bytes,
                          std::uint32_t size, const HeadHandlers& handlers);

/// Frees the walk's memory; safe on a walk that failed to start.
void endMemberHeads(MemberHeads* heads);

#endif

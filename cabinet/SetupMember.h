// SetupMember.h - finding the setup file among a cabinet's members.
//
// The setup file is found by its content, not by its name or place: it is
// the one member of at least 100 bytes whose first four bytes are "MSCE".
#ifndef SETUPHDR_CABINET_SETUPMEMBER_H
#define SETUPHDR_CABINET_SETUPMEMBER_H

#include <cstdint>

#include "cabinet/Cabinet.h"

/// The setup file found: its member index and a copy of its bytes.
struct SetupMember {
  std::uint32_t index;
  std::uint32_t size;
  unsigned char* bytes;  // size bytes, from allocZeroed; release with freeBlock
};

/// Looks at the first bytes of every member that could be a setup file,
/// decoding each folder only as far as those bytes (and the setup file's
/// own bytes) reach, and copies out the one setup file. NoSetupFile when
/// no member is one, Unhandled (naming them) when several are.
CabStatus findSetupFile(const CabinetSource& source, Cabinet* cabinet,
                        SetupMember* member);

/// For a change: refuses (Unhandled, with its line) a cabinet in which
/// another member shares the setup file's changeable header bytes, since
/// the change would change that member too.
CabStatus checkSetupFileAlone(const Cabinet& cabinet,
                              const SetupMember& member);

#endif

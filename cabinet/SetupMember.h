// SetupMember.h - finding the setup file among a cabinet's members, and
// the processor families of the programs beside it.
//
// The setup file is found by its content, not by its name or place: it is
// the one member of at least 100 bytes whose first four bytes are "MSCE".
// One pass over the members' first bytes (at most kProgramHeadSize of
// each) finds it and the families of the programs.
#ifndef SETUPHDR_CABINET_SETUPMEMBER_H
#define SETUPHDR_CABINET_SETUPMEMBER_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/Programs.h"

/// The setup file found: its member index and a copy of its bytes.
struct SetupMember {
  std::uint32_t index;
  std::uint32_t size;
  unsigned char* bytes;  // size bytes, from allocZeroed; release with freeBlock
};

/// Looks at the first bytes of every member, decoding each folder only as
/// far as those bytes (and the setup file's own bytes) reach, and copies
/// out the one setup file. NoSetupFile when no member is one, Unhandled
/// (naming them) when several are. The families of the programs go to
/// *programs when it is given.
CabStatus findSetupFile(const CabinetSource& source, Cabinet* cabinet,
                        SetupMember* member,
                        ProgramFamilies* programs = nullptr);

/// Every setup file of a cabinet and the families of its programs, as one
/// pass over the members' first bytes finds them.
struct CabinetScan {
  ProgramFamilies programs;
  std::uint32_t setupCount;
  /// setupCount member indices in member-table order, from allocZeroed
  /// (release with freeBlock); null when there is none.
  std::uint16_t* setupIndices;
};

/// The same pass as findSetupFile's, copying nothing: any number of setup
/// files, none included, is a result, not a failure.
CabStatus scanCabinet(const CabinetSource& source, Cabinet* cabinet,
                      CabinetScan* scan);

/// Copies the setup file that is member index (one that scanCabinet
/// found), decoding its folder only as far as its end. NoSetupFile, with
/// its line, when that member is not a setup file.
CabStatus copySetupFile(const CabinetSource& source, Cabinet* cabinet,
                        std::uint32_t index, SetupMember* member);

/// For a change: refuses (Unhandled, with its line) a cabinet in which
/// another member shares the setup file's changeable header bytes, since
/// the change would change that member too.
CabStatus checkSetupFileAlone(const Cabinet& cabinet,
                              const SetupMember& member);

#endif

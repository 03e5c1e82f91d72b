// SetupSearch.h - finding the setup file among a cabinet's members and
// copying it out; on the way, the processor families of the programs
// beside it (Programs.h).
//
// The setup file is found by its content, not by its name or place: it is
// the one member of at least 100 bytes whose first four bytes are "MSCE".
// The same walk over the members' first bytes (MemberHeads.h) finds the
// families of the programs.
//
// The search is fed with the folders' decoded bytes in stream order, folder
// after folder, by whoever decodes them: findSetupFile for a display, which
// decodes only as far as the search needs, or the single pass of a change,
// which decodes every block anyway.
#ifndef SETUPHDR_CABINET_SETUPSEARCH_H
#define SETUPHDR_CABINET_SETUPSEARCH_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/MemberHeads.h"
#include "cabinet/Programs.h"
#include "header/HeaderReport.h"

/// How much of a setup file its header can make the tool read: texts start
/// at 16-bit offsets, the unsupported-platforms list runs for a 16-bit
/// length, and the list's last name is shown with fewer than
/// kPlatformListLimit characters.
constexpr std::uint32_t kSetupFileReach = 0xFFFF + 0xFFFF + kPlatformListLimit;

/// A member that carries install checks (the setup file, the setup XML):
/// its member index, its size and a copy of its first bytes, all of them or
/// as many as its reach (kSetupFileReach for the setup file).
struct SetupMember {
  std::uint32_t index;
  std::uint32_t size;
  std::uint32_t held;    // bytes in bytes
  unsigned char* bytes;  // from allocZeroed; release with freeBlock
};

/// Room for the names listed when several members are setup files.
constexpr std::uint32_t kSetupNameListSize = 900;

/// The state of one search; its fields are the search's own, but for
/// programs, which the caller reads once every folder is fed.
struct SetupSearch {
  const CabinetSource* source;
  Cabinet* cabinet;
  SetupMember* member;          // null: every setup file is a result
  std::uint32_t found;          // setup files seen
  std::uint16_t captureFolder;  // the first setup file's place
  std::uint32_t captureStart;
  std::uint32_t captureEnd;     // of its held bytes
  SetupMember* xml;             // the setup XML's copy, or null
  std::uint32_t xmlEnd;         // of its bytes in its folder's stream
  ProgramFamilies programs;     // of the members whose heads are in
  std::uint32_t namesUsed;
  char names[kSetupNameListSize];  // the setup files seen, for a refusal
  MemberHeads heads;               // last: it holds two 4 KiB buffers
};

/// Starts a search of cabinet for member (whose fields it sets when it
/// finds the setup file). With member null, the search copies nothing and
/// any number of setup files is a result. NoMemory after its line.
CabStatus startSetupSearch(SetupSearch* search, const CabinetSource& source,
                           Cabinet* cabinet, SetupMember* member);

/// Has the search copy the cabinet's setup XML (the first member named
/// _setup.xml) into xml as well, all of it, when it has at most
/// kSetupXmlSizeLimit bytes (else xml->bytes stays null); a cabinet that
/// has a setup XML then needs no setup file. NoMemory after its line.
CabStatus copySetupXmlToo(SetupSearch* search, SetupMember* xml);

/// Where in folder's stream the search needs no more bytes: 0 when it needs
/// none of the folder. Grows when the setup file is found in the folder.
std::uint32_t setupSearchEnd(SetupSearch* search, std::uint16_t folder);

/// Feeds size decoded bytes of folder that start at stream position start.
/// Folders come in order and each folder's bytes in stream order from its
/// start, without a gap; bytes may be fed again. NoMemory after its line.
CabStatus searchFolderBytes(SetupSearch* search, std::uint16_t folder,
                            std::uint32_t start, const unsigned char* bytes,
                            std::uint32_t size);

/// True once the setup file is found: the first member that is one, which
/// the change works on.
bool setupFileFound(const SetupSearch& search);

/// Ends the search and frees its memory. With status Ok (every folder
/// fed) and a member to find, the result is NoSetupFile when no member is
/// a setup file and SeveralSetupFiles (naming them) when several are, each
/// after its line. On any failure the member's bytes are released.
CabStatus endSetupSearch(SetupSearch* search, CabStatus status);

/// Looks at the first bytes of every member, decoding each folder only as
/// far as those bytes (and the setup file's own held bytes) reach, and
/// copies out the one setup file; and, with xml given, the setup XML too
/// (copySetupXmlToo): a cabinet with one needs no setup file (member->bytes
/// null). NoSetupFile when no member is one,
/// SeveralSetupFiles (naming them) when several are. The families of the
/// programs go to *programs when it is given.
CabStatus findSetupFile(const CabinetSource& source, Cabinet* cabinet,
                        SetupMember* member,
                        ProgramFamilies* programs = nullptr,
                        SetupMember* xml = nullptr);

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
/// found) as far as its held bytes, decoding its folder only as far as
/// those. NoSetupFile, with its line, when that member is not a setup file.
CabStatus copySetupFile(const CabinetSource& source, Cabinet* cabinet,
                        std::uint32_t index, SetupMember* member);

/// Copies the cabinet's setup XML (as copySetupXmlToo, xml->bytes null
/// without one or over the limit), decoding its folder only as far as its
/// bytes.
CabStatus copySetupXml(const CabinetSource& source, Cabinet* cabinet,
                       SetupMember* xml);

/// For a change: refuses (Unhandled, with its line) a cabinet in which
/// another member shares the setup file's changeable header bytes, since
/// the change would change that member too.
CabStatus checkSetupFileAlone(const Cabinet& cabinet,
                              const SetupMember& member);

#endif

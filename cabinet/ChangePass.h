// ChangePass.h - the change of a cabinet in memory: one pass over every
// block that checks it, finds the setup file and writes the blocks the
// change needs anew (the new image: NewImage.h; its check before it may
// replace the original: Verify.h).
//
// The rebuild touches as little as it can. In a stored folder the changed
// bytes are patched into their blocks. In an MSZIP folder the blocks
// holding them are encoded anew, and so is every later block of that
// folder that may refer back to them: in the sliding reading those that
// start less than 32 KiB behind the last changed byte, in the frame
// reading those before which no block has yet covered the changed bytes'
// frame positions. A block encoded anew gets the block before it as its
// dictionary when that holds 32 KiB, and none otherwise, so it means the
// same in both readings. Each keeps its uncompressed size. Every other
// block is copied as it is. Checksums of the new blocks are summed the way
// the originals were. Folder starts, the file table's offset and the
// cabinet's size move with whatever changed size before them.
#ifndef SETUPHDR_CABINET_CHANGEPASS_H
#define SETUPHDR_CABINET_CHANGEPASS_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/FolderRelayout.h"
#include "cabinet/SetupSearch.h"
#include "cabinet/SetupXmlMember.h"
#include "header/HeaderReport.h"
#include "header/SetupHeader.h"

struct MszipEncoder;

/// The blocks of the setup file's folder written anew by the pass: a run
/// of count blocks from block first, whose records replace the original's
/// oldSize bytes at oldOffset.
struct NewBlocks {
  std::uint16_t folder;
  std::uint32_t first;
  std::uint32_t count;
  bool closed;               // a block behind the run was kept
  std::uint32_t oldOffset;
  std::uint32_t oldSize;
  unsigned char* records;    // header, reserve and data of each, in order
  std::uint32_t size;
  std::uint32_t capacity;
  // Stream positions of the first changed byte and behind the last one;
  // changeEnd is 0 while none is seen.
  std::uint32_t changeStart;
  std::uint32_t changeEnd;
  // The last frame position a changed byte still holds; -1 for none.
  std::int32_t frameDirty;
  unsigned char header[SetupHeader::kSize];  // the header the blocks hold
  CabStatus status;          // NoMemory when the blocks could not be made
  const char* problem;       // why a block made does not hold its bytes
  MszipEncoder* encoder;
  unsigned char* scratch;    // a block's new bytes, its dictionary, a check
};

/// What the pass of a change gathers: the setup file (member.bytes null
/// when the cabinet carries only a setup XML), the families of the programs
/// beside it, the new blocks for the fields asked for, and the setup XML
/// with its change: its folder laid out anew from the block that holds its
/// first byte, when the change gives it another size. The blocks are made
/// as the folders go by, before the change is known to go ahead; their
/// failures are reported by rebuildCabinet (NewImage.h) and verifyRebuild
/// (Verify.h).
struct ChangePass {
  SetupMember member;
  ProgramFamilies programs;
  NewBlocks blocks;
  SetupXmlChange xml;
  FolderRelayout relayout;
};

/// True when the change gives the setup XML new values: the fields asked
/// for have a counterpart in it (the architecture, the version ranges).
bool changesSetupXml(const ChangeRequest& changes);

/// Reads every block of the cabinet in memory once: checks its checksum,
/// decodes it, in both readings where they can differ (a block that means
/// different bytes to different readers is refused, ReadersDiffer), feeds
/// the search for the setup file, the setup XML and the programs' families,
/// plans the setup XML's change once it is whole (xml.problem when it
/// cannot be changed) and makes the new blocks for changes. Then checks the layout (checkCabinetLayout) and ends
/// the search (endSetupSearch). Release pass with releaseChangePass on
/// every path.
CabStatus passCabinet(const CabinetSource& source, Cabinet* cabinet,
                      const ChangeRequest& changes, ChangePass* pass);

/// Releases what the pass holds; safe on a pass that failed.
void releaseChangePass(ChangePass* pass);

#endif

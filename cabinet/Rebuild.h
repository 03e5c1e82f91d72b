// Rebuild.h - the new image of a cabinet whose setup file was changed, and
// the check of that image before it may replace the original.
//
// The rebuild touches as little as it can. In a stored folder the changed
// bytes are patched into their blocks. In an MSZIP folder the block holding
// them is encoded anew, and so is every later block of that folder that
// starts less than 32 KiB behind the last changed byte, since only those
// can refer back to it; each keeps its uncompressed size. Every other
// block is copied as it is. Checksums of the new blocks are summed the way
// the originals were. Folder starts, the file table's offset and the
// cabinet's size move with whatever changed size before them.
#ifndef SETUPHDR_CABINET_REBUILD_H
#define SETUPHDR_CABINET_REBUILD_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/SetupMember.h"
#include "header/HeaderReport.h"

/// What the new image is to differ in.
struct RebuildRequest {
  const SetupMember* member;         // the setup file as read
  const unsigned char* newHeader;    // its 100 header bytes after the change
  const ChangeRequest* changes;      // the fields asked for
  bool removeSignature;              // drop a signature and its reserve
};

/// The new image, from allocZeroed (release with freeBlock). unchanged
/// when it would equal the original byte for byte; image is then null.
struct RebuildResult {
  unsigned char* image;
  std::uint32_t size;
  bool unchanged;
  bool archCopyUpdated;     // folder 0's copy of the architecture followed
  bool signatureRemoved;
  bool reencoded;           // MSZIP blocks were encoded anew
};

/// True when folder 0's reserve holds a copy of the setup file's header
/// data that agrees with member (architecture, app name and provider).
bool archCopyMatches(const Cabinet& cabinet, const unsigned char* member,
                     std::uint32_t memberSize);

/// Builds the new image from the original in source (which must be the
/// whole file in memory, read and checked with readCabinet and
/// checkWholeCabinet).
CabStatus rebuildCabinet(const CabinetSource& source, Cabinet* cabinet,
                         const RebuildRequest& request, RebuildResult* result);

/// Checks the new image against the original (whose folders must all have
/// decoded, as checkWholeCabinet with decoding makes sure): it reads back
/// with every checksum holding, the setup file's folder decodes to the
/// original's stream with only the fields asked for changed, every other
/// folder is the original's blocks byte for byte (and so decodes to the
/// same), no other member shares a changed byte, and the structure is the
/// original's but for the expected changes. Reports one line and returns
/// false when anything disagrees.
bool verifyRebuild(const CabinetSource& source, Cabinet* cabinet,
                   const RebuildRequest& request, const RebuildResult& result);

#endif

// NewImage.h - the new image of a changed cabinet: the original with the
// blocks the pass made (ChangePass.h) in place of the old ones, the
// signature removed when asked, and every position that moved written anew:
// where the setup XML changed size, its size, the places of the members
// behind it in its folder and the folder's block count too.
#ifndef SETUPHDR_CABINET_NEWIMAGE_H
#define SETUPHDR_CABINET_NEWIMAGE_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/ChangePass.h"
#include "cabinet/SetupSearch.h"
#include "header/HeaderReport.h"

/// What the new image is to differ in.
struct RebuildRequest {
  const SetupMember* member;         // the setup file as read (bytes null
                                     // when the cabinet has only a setup XML)
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
  bool relaid;              // the setup XML's folder was laid out anew
};

/// True when folder 0's reserve holds a copy of the setup file's header
/// data that agrees with member (architecture, app name and provider).
bool archCopyMatches(const Cabinet& cabinet, const unsigned char* member,
                     std::uint32_t memberSize);

/// Builds the new image from the original in source (the whole file in
/// memory, read with readCabinet and passed with passCabinet) and the new
/// blocks of pass. Refuses (Unhandled) an image of 4 GiB or more before
/// allocating it.
CabStatus rebuildCabinet(const CabinetSource& source, Cabinet* cabinet,
                         const RebuildRequest& request, const ChangePass& pass,
                         RebuildResult* result);

#endif

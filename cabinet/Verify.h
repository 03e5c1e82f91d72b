// Verify.h - the check of a rebuilt cabinet image against the original,
// before the image may replace it.
#ifndef SETUPHDR_CABINET_VERIFY_H
#define SETUPHDR_CABINET_VERIFY_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/NewImage.h"

/// Checks one block the pass made, decoded (size bytes starting at stream
/// position start): it must be the original's bytes but inside the setup
/// file's 100 header bytes at headerStart, which must be header. False when
/// anything differs.
bool newBlockHoldsChange(const unsigned char* decoded,
                         const unsigned char* original, std::uint32_t start,
                         std::uint32_t size, std::uint32_t headerStart,
                         const unsigned char* header);

/// Checks the new image against the original: it reads back with every
/// checksum holding, its structure is the original's but for the expected
/// changes, the setup file's header differs only in the fields asked for
/// and no other member shares a changed byte, the pass's new blocks held
/// their bytes and are the image's, every block of the setup file's folder
/// that may refer back to a changed byte is one of them, every other block
/// is the original's byte for byte, and a setup file's folder with a short
/// block decodes in both readings to the original's stream but for the
/// change. Reports one line and returns false when anything disagrees.
bool verifyRebuild(const CabinetSource& source, Cabinet* cabinet,
                   const RebuildRequest& request, const ChangePass& pass,
                   const RebuildResult& result);

#endif

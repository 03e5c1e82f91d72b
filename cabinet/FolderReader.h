// FolderReader.h - streaming a folder's uncompressed bytes a block at a
// time, each block read and checked where it lies; and the check of every
// block of a cabinet.
#ifndef SETUPHDR_CABINET_FOLDERREADER_H
#define SETUPHDR_CABINET_FOLDERREADER_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/Mszip.h"

/// Streams folders' uncompressed bytes a block at a time, reading each
/// block's header where the one before ends. One reader serves the folders
/// of one cabinet one after the other and keeps its buffers between them.
/// After readFolderBlock, block describes the current block and record
/// points to its bytes (header, reserve, data); it starts at dataStart in
/// the folder's stream and holds blockSize bytes, of which data holds the
/// first dataSize: all of them, or as many as were wanted (none when the
/// reader does not decode).
struct FolderReader {
  const CabinetSource* source;
  Cabinet* cabinet;
  bool decode;          // false: blocks are read and checksummed only
  bool checkReadings;   // an MSZIP block must mean the same to every reader
  std::uint16_t folder;
  std::uint32_t nextBlock;
  std::uint32_t nextOffset;  // of the next block's header
  CabBlock block;
  MszipDecoder* decoder;
  unsigned char* scratch;  // a block record read from the file
  const unsigned char* record;
  const unsigned char* data;
  std::uint32_t dataSize;
  std::uint32_t dataStart;
  std::uint32_t blockSize;
};

/// As much of a block as there is.
constexpr std::uint32_t kWholeBlock = 0xFFFFFFFFu;

/// Prepares reader for the cabinet (which must stay alive), decoding and
/// with one reading; takes nothing yet.
void initFolderReader(FolderReader* reader, const CabinetSource& source,
                      Cabinet* cabinet);

/// Starts streaming folder from its first block, taking the buffers the
/// folder needs unless the reader has them.
CabStatus startFolder(FolderReader* reader, std::uint16_t folder);

/// Reads and checks the next block of the folder (which must have one) and
/// decodes the first wanted bytes of it, or all of it. The block before is
/// decoded to its end first, as the history needs. With checkReadings, a
/// block decoded whole that libmspack would decode differently (its form or
/// the frame reading, see mszipDifference) is refused (ReadersDiffer).
CabStatus readFolderBlock(FolderReader* reader,
                          std::uint32_t wanted = kWholeBlock);

/// Decodes the current block further, up to its first wanted bytes.
CabStatus extendFolderBlock(FolderReader* reader, std::uint32_t wanted);

/// Releases the reader's buffers; safe at any point after initFolderReader.
void closeFolder(FolderReader* reader);

/// The further checks before a cabinet in memory is rewritten: every
/// block's checksum, every folder decoding (when decode is set), and
/// checkCabinetLayout.
CabStatus checkWholeCabinet(const CabinetSource& source, Cabinet* cabinet,
                            bool decode);

#endif

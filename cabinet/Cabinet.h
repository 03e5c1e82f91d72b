// Cabinet.h - the structure of a cabinet file as read from its bytes: the
// header, the folders with their data blocks, and the member files; and a
// reader that streams a folder's uncompressed bytes block by block.
//
// The reader works on bytes in memory or on a function that reads ranges
// of the file, so that showing a large cabinet reads only what it needs.
// Every position is checked against the cabinet's size before it is read,
// by subtraction, so no sum can wrap. A failure is reported as one line on
// the error stream where it is found and returned as a CabStatus.
#ifndef SETUPHDR_CABINET_CABINET_H
#define SETUPHDR_CABINET_CABINET_H

#include <cstdint>

#include "cabinet/Mszip.h"

/// Outcome of the cabinet functions; every failure has had its line.
enum class CabStatus {
  Ok,
  NoMemory,     // a block could not be allocated
  ReadFailed,   // the file could not be read
  Damaged,      // the cabinet breaks its own format
  Unhandled,    // a valid form the tool does not handle
  NoSetupFile,  // no member is a setup file
};

/// Where the reader gets the cabinet's bytes: the whole file in memory
/// (image), or readAt, which reads size bytes at offset into buffer and
/// returns false after an error line. quiet keeps the reader's own failure
/// lines off the error stream (used when checking an image the tool built).
struct CabinetSource {
  const unsigned char* image;
  std::uint32_t fileSize;
  bool (*readAt)(void* context, std::uint32_t offset, void* buffer,
                 std::uint32_t size);
  void* context;
  bool quiet;
};

/// One data block of a folder, as the folder reader has it.
struct CabBlock {
  std::uint32_t offset;             // of its header in the file
  std::uint32_t checksum;           // as stored; 0 = none
  std::uint32_t uncompressedStart;  // in the folder's stream
  std::uint16_t dataSize;           // cbData
  std::uint16_t uncompressedSize;   // cbUncomp
  bool reserveSummed;               // its checksum covers the block reserve
};

/// One folder: a stream of data blocks, stored or MSZIP. The blocks are
/// read where they lie, one after the other; none is kept.
struct CabFolder {
  std::uint32_t entryOffset;       // of the folder entry in the file
  std::uint32_t dataOffset;        // coffCabStart: the first block
  std::uint32_t dataEnd;           // behind the last block
  std::uint32_t uncompressedSize;  // of the whole stream
  std::uint16_t blockCount;
  std::uint16_t compression;       // kCompressionStored or kCompressionMszip
  bool shortBlock;                 // a block but the last holds < 32 KiB
};

/// One member file.
struct CabFile {
  std::uint32_t entryOffset;   // of the file entry in the file
  std::uint32_t size;          // cbFile
  std::uint32_t folderOffset;  // uoffFolderStart
  std::uint16_t folder;        // iFolder
  std::uint16_t nameLength;    // without the NUL
};

/// A cabinet as read. head holds the bytes from the start of the file to
/// the end of the folder table (read in ranges: to its start, as the folder
/// entries are not kept) and points into the image or into a block the
/// cabinet owns. files holds the bytes of the file table in the image; read
/// in ranges, the table is not kept (null) and each name is read again
/// through source when it is asked for.
struct Cabinet {
  std::uint32_t fileSize;
  std::uint32_t cabinetSize;         // cbCabinet
  std::uint32_t filesOffset;         // coffFiles
  std::uint32_t fileTableEnd;
  std::uint32_t folderTableOffset;
  std::uint32_t folderTableEnd;
  std::uint32_t headerReserveOffset;  // where the header reserve starts
  std::uint16_t folderCount;
  std::uint16_t fileCount;
  std::uint16_t flags;
  std::uint16_t headerReserveSize;   // cbCFHeader
  std::uint8_t folderReserveSize;    // cbCFFolder
  std::uint8_t dataReserveSize;      // cbCFData
  std::uint32_t largestRecord;       // of all data blocks, header included
  bool isSigned;
  std::uint32_t signatureSize;       // of the signature behind cbCabinet
  const unsigned char* head;
  const unsigned char* files;
  CabinetSource source;              // as readCabinet was given it
  CabFolder* folders;
  CabFile* fileEntries;
  unsigned char* ownedHead;

  Cabinet();
  ~Cabinet();
  Cabinet(const Cabinet&) = delete;
  Cabinet& operator=(const Cabinet&) = delete;
};

/// True when the file starts with the cabinet signature "MSCF".
bool isCabinetSignature(const unsigned char* bytes, std::uint32_t size);

/// Reads the header, the folders with the headers of all their data
/// blocks, and the file table, and checks that every structure lies inside
/// the cabinet and every member inside its folder. Data is not read and
/// checksums are not verified here (see checkWholeCabinet and
/// readFolderBlock). Refuses cabinet sets and folders that are neither
/// stored nor MSZIP.
CabStatus readCabinet(const CabinetSource& source, Cabinet* cabinet);

/// Reads and checks the header alone (the first step of readCabinet):
/// enough for checkNothingBehind.
CabStatus readCabinetHeader(const CabinetSource& source, Cabinet* cabinet);

/// Refuses (Unhandled) bytes behind the cabinet other than its signature,
/// which would be carried along without anyone knowing what they belong
/// to. Needs only the header.
CabStatus checkNothingBehind(const CabinetSource& source,
                             const Cabinet& cabinet);

/// The checks of a cabinet's layout before it is rewritten: no two
/// structures overlapping, and checkNothingBehind.
CabStatus checkCabinetLayout(const CabinetSource& source,
                             const Cabinet& cabinet);

/// The further checks before a cabinet in memory is rewritten: every
/// block's checksum, every folder decoding (when decode is set), and
/// checkCabinetLayout.
CabStatus checkWholeCabinet(const CabinetSource& source, Cabinet* cabinet,
                            bool decode);

/// The name of member index, NUL-terminated: inside the file table when
/// the cabinet is in memory, else read into buffer (CabFormat::kMaxNameSize
/// bytes). Null after a line when it cannot be read or is no longer the
/// name the table held (ReadFailed), never a different name.
const char* cabFileName(const Cabinet& cabinet, std::uint32_t index,
                        char* buffer);

/// The name of member index copied into buffer (CabFormat::kMaxNameSize
/// bytes) for a line of the tool's, an error line or the report: its
/// control bytes masked on every stream, terminal or not. Returns buffer,
/// or null after a line as cabFileName.
const char* nameForError(const Cabinet& cabinet, std::uint32_t index,
                         char* buffer);

/// "stored" or "MSZIP".
const char* compressionName(std::uint16_t compression);

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
/// the frame reading, see mszipDifference) is refused (Unhandled).
CabStatus readFolderBlock(FolderReader* reader,
                          std::uint32_t wanted = kWholeBlock);

/// Decodes the current block further, up to its first wanted bytes.
CabStatus extendFolderBlock(FolderReader* reader, std::uint32_t wanted);

/// Releases the reader's buffers; safe at any point after initFolderReader.
void closeFolder(FolderReader* reader);

/// Verifies a block record's checksum, trying the sum without and with the
/// block reserve, and records in block which one holds. False on a
/// mismatch.
bool checkBlockSum(const unsigned char* record, std::uint8_t reserveSize,
                   CabBlock* block);

/// The checksum of a block record (header, reserve, data) as block's
/// original was summed: 0 when it had none.
std::uint32_t sumBlockLike(const unsigned char* record,
                           std::uint8_t reserveSize, const CabBlock& block);

#endif

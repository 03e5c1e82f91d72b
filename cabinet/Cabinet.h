// Cabinet.h - the structure of a cabinet file as read from its bytes: the
// header, the folders with their data blocks, and the members (their names:
// FileTable.h; a folder's bytes: FolderReader.h).
//
// The reader works on bytes in memory or on a function that reads ranges
// of the file (CabinetSource.h), so that showing a large cabinet reads
// only what it needs.
// Every position is checked against the cabinet's size before it is read,
// by subtraction, so no sum can wrap. A failure is reported as one line on
// the error stream where it is found and returned as a CabStatus.
#ifndef SETUPHDR_CABINET_CABINET_H
#define SETUPHDR_CABINET_CABINET_H

#include <cstdint>

#include "cabinet/CabinetSource.h"

/// Outcome of the cabinet functions; every failure has had its line.
enum class CabStatus {
  Ok,
  NoMemory,     // a block could not be allocated
  ReadFailed,   // the file could not be read
  Damaged,      // the cabinet breaks its own format
  Unhandled,    // a valid form the tool does not handle
  ReadersDiffer,  // a block that MSZIP readers decode differently
  SeveralSetupFiles,  // more than one member is a setup file
  NoSetupFile,  // no member is a setup file
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

/// One member: its file entry.
struct CabMember {
  std::uint32_t entryOffset;   // of the file entry in the file
  std::uint32_t size;          // cbFile
  std::uint32_t folderOffset;  // uoffFolderStart
  std::uint16_t folder;        // iFolder
  std::uint16_t nameLength;    // without the NUL
};

/// A cabinet as read. head holds the bytes from the start of the file to
/// the end of the folder table (read in ranges: to its start, as the folder
/// entries are not kept) and points into the image or into a block the
/// cabinet owns. members holds one record per file entry. fileTable points
/// at the bytes of the file table in the image; read in ranges, the table
/// is not kept (null) and each name is read again through source when it is
/// asked for (cabFileName).
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
  std::uint32_t setupXmlCount;       // members named _setup.xml
  std::uint32_t setupXmlIndex;       // the first of them
  const unsigned char* head;
  const unsigned char* fileTable;
  CabinetSource source;              // as readCabinet was given it
  CabFolder* folders;
  CabMember* members;
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
/// checksums are not verified here (see FolderReader.h). Refuses cabinet sets
/// and folders that are neither stored nor MSZIP.
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

/// "stored" or "MSZIP".
const char* compressionName(std::uint16_t compression);

/// Reads the header of block index of folder at offset into *block and
/// checks it: the record lies inside the cabinet, the block does not
/// continue in another cabinet and holds 1 to 32 KiB (a stored one as many
/// bytes as it has). uncompressedStart is left to the caller.
CabStatus readBlockHeader(const CabinetSource& source, const Cabinet& cabinet,
                          std::uint16_t folder, std::uint32_t index,
                          std::uint32_t offset, CabBlock* block);

#endif

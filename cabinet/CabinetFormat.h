// CabinetFormat.h - layout of a Microsoft cabinet (.cab) file, the container
// that carries a Windows CE installation: a header, one entry per folder (a
// compressed stream), one entry per member file, and the data blocks of
// each folder. All numbers are unsigned little-endian.
//
// The constants name each field's offset once; the reader, the rebuild and
// the tests use them and nothing else.
#ifndef SETUPHDR_CABINET_CABINETFORMAT_H
#define SETUPHDR_CABINET_CABINETFORMAT_H

#include <cstdint>

namespace CabFormat {

// Header: 36 bytes, then (flag kReservePresent) the reserve sizes and the
// header reserve, then (flags kHasPrevious/kHasNext) the neighbour names.
constexpr std::uint32_t kSignature = 0;         // "MSCF"
constexpr std::uint32_t kSignatureValue = 0x4643534D;
constexpr std::uint32_t kCabinetSize = 8;       // u32 cbCabinet
constexpr std::uint32_t kFilesOffset = 16;      // u32 coffFiles
constexpr std::uint32_t kFolderCount = 26;      // u16 cFolders
constexpr std::uint32_t kFileCount = 28;        // u16 cFiles
constexpr std::uint32_t kFlags = 30;            // u16
constexpr std::uint32_t kSetId = 32;            // u16
constexpr std::uint32_t kCabinetIndex = 34;     // u16
constexpr std::uint32_t kHeaderSize = 36;
// With kReservePresent: u16 cbCFHeader, u8 cbCFFolder, u8 cbCFData.
constexpr std::uint32_t kReserveSizesSize = 4;

constexpr std::uint16_t kHasPrevious = 0x0001;
constexpr std::uint16_t kHasNext = 0x0002;
constexpr std::uint16_t kReservePresent = 0x0004;

// Folder entry, then cbCFFolder reserve bytes.
constexpr std::uint32_t kFolderDataOffset = 0;   // u32 coffCabStart
constexpr std::uint32_t kFolderBlockCount = 4;   // u16 cCFData
constexpr std::uint32_t kFolderCompression = 6;  // u16 typeCompress
constexpr std::uint32_t kFolderEntrySize = 8;

constexpr std::uint16_t kCompressionMask = 0x000F;
constexpr std::uint16_t kCompressionStored = 0;
constexpr std::uint16_t kCompressionMszip = 1;
constexpr std::uint16_t kCompressionQuantum = 2;
constexpr std::uint16_t kCompressionLzx = 3;

// File entry, then the NUL-terminated name.
constexpr std::uint32_t kFileSize = 0;           // u32 cbFile
constexpr std::uint32_t kFileFolderOffset = 4;   // u32 uoffFolderStart
constexpr std::uint32_t kFileFolder = 8;         // u16 iFolder
constexpr std::uint32_t kFileDate = 10;          // u16
constexpr std::uint32_t kFileTime = 12;          // u16
constexpr std::uint32_t kFileAttributes = 14;    // u16
constexpr std::uint32_t kFileEntrySize = 16;
// Names are at most 256 bytes including the NUL.
constexpr std::uint32_t kMaxNameSize = 256;
// iFolder values of a file that continues from or into another cabinet.
constexpr std::uint16_t kFirstContinuedFolder = 0xFFFD;

// Data block header, then cbCFData reserve bytes, then the data.
constexpr std::uint32_t kBlockChecksum = 0;      // u32 csum, 0 = none
constexpr std::uint32_t kBlockDataSize = 4;      // u16 cbData
constexpr std::uint32_t kBlockUncompressed = 6;  // u16 cbUncomp, 0 = split
constexpr std::uint32_t kBlockHeaderSize = 8;

// A block holds at most 32 KiB of uncompressed data (an MSZIP block the
// tool writes, at most mszipBound of that).
constexpr std::uint32_t kMaxBlockUncompressed = 32768;
// The history an MSZIP block may refer back into.
constexpr std::uint32_t kMszipWindow = 32768;

// The header reserve of a signed cabinet: 20 bytes, a marker, then where
// the signature sits behind cbCabinet and how long it is, then 8 zeros.
constexpr std::uint32_t kSignatureReserveSize = 20;
constexpr std::uint32_t kSignatureMarker = 0x00100000;  // 00 00 10 00
constexpr std::uint32_t kSignatureOffset = 4;           // u32, = cbCabinet
constexpr std::uint32_t kSignatureLength = 8;           // u32

// The copy of header data some cabinets keep in folder 0's reserve: the
// architecture, then offset and length of the app name and of the
// provider (counted from the start of the folder entry), each a u32, then
// the two texts.
constexpr std::uint32_t kCopyArchitecture = 0;
constexpr std::uint32_t kCopyAppName = 4;       // u32 offset, u32 length
constexpr std::uint32_t kCopyProvider = 12;     // u32 offset, u32 length
constexpr std::uint32_t kCopySize = 20;

static_assert(kCabinetIndex + 2 == kHeaderSize, "36-byte header");
static_assert(kFileAttributes + 2 == kFileEntrySize, "16-byte file entry");
static_assert(kBlockUncompressed + 2 == kBlockHeaderSize, "8-byte block");

}  // namespace CabFormat

#endif

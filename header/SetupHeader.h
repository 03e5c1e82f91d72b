// SetupHeader.h - layout and checks of the 100-byte header at the start of
// a Windows CE installer setup file (the "MSCE" file inside a CE cabinet).
//
// The header is kept as its raw bytes; the constants below name the offset
// of each field the tool interprets. Bytes between them are carried along
// unchanged. All numbers are unsigned little-endian.
#ifndef SETUPHDR_HEADER_SETUPHEADER_H
#define SETUPHDR_HEADER_SETUPHEADER_H

#include <cstdint>

namespace SetupHeader {

constexpr std::uint32_t kSize = 100;

constexpr std::uint32_t kSignature = 0;           // 4 bytes "MSCE"
constexpr std::uint32_t kSignatureValue = 0x4543534D;
constexpr std::uint32_t kArchitecture = 20;       // 32-bit code
constexpr std::uint32_t kMinVersionMajor = 24;    // 32-bit
constexpr std::uint32_t kMinVersionMinor = 28;    // 32-bit
constexpr std::uint32_t kMaxVersionMajor = 32;    // 32-bit
constexpr std::uint32_t kMaxVersionMinor = 36;    // 32-bit
constexpr std::uint32_t kMinVersionBuild = 40;    // 32-bit
constexpr std::uint32_t kMaxVersionBuild = 44;    // 32-bit
constexpr std::uint32_t kNumStrings = 48;         // 16-bit counts from here
constexpr std::uint32_t kNumDirs = 50;
constexpr std::uint32_t kNumFiles = 52;
constexpr std::uint32_t kNumRegistryHives = 54;
constexpr std::uint32_t kNumRegistryKeys = 56;
constexpr std::uint32_t kNumLinks = 58;
constexpr std::uint32_t kAppNameText = 84;        // HeaderText: offset, length
constexpr std::uint32_t kProviderText = 88;
constexpr std::uint32_t kPlatformsText = 92;

// The tool changes only the architecture, the version fields and the
// length of the unsupported-platforms list.
constexpr std::uint32_t kChangeableFirst = kArchitecture;
constexpr std::uint32_t kChangeableEnd = kPlatformsText + 4;

static_assert(kNumLinks + 2 + 24 == kAppNameText, "24 bytes before the texts");
static_assert(kPlatformsText + 4 + 4 == kSize, "4 bytes after the texts");
static_assert(kChangeableEnd == 96, "changes stay within bytes 20 to 95");

}  // namespace SetupHeader

/// A text referenced from the header: a 16-bit offset and a 16-bit length,
/// counted in bytes from the start of the file.
struct HeaderText {
  std::uint16_t offset;
  std::uint16_t length;
};

/// The text reference stored at field (one of the k...Text offsets).
HeaderText readHeaderText(const unsigned char* header, std::uint32_t field);

/// The length of the text at offset of file (size bytes): up to its NUL or
/// the end of the file, whichever comes first; 0 from outside the file.
std::uint32_t textLengthAt(const unsigned char* file, std::uint32_t size,
                           std::uint32_t offset);

/// Checks that file (size bytes) holds a whole header with the "MSCE"
/// signature and that its provider, app name and platform texts lie inside
/// the file. On failure writes one line on the error stream and returns
/// false.
bool validateHeader(const unsigned char* file, std::uint32_t size);

#endif

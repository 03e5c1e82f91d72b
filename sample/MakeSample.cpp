// MakeSample.cpp - writes the setup file bundled with setuphdr as its demo.
//
//   setuphdr-sample OUTPUT [SIZE]
//
// The file has a complete header and its texts: provider, app name and the
// unsupported-platforms list. Given a SIZE (bytes, at least the natural
// size), the file is padded with zeros to it and the texts move as far
// towards the end as their 16-bit offsets allow, for timing large files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "header/Endian.h"
#include "header/SetupHeader.h"

namespace {

void put16(unsigned char* p, unsigned value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

// Appends a NUL-terminated text to file and returns its offset.
unsigned appendText(std::vector<unsigned char>& file, const char* text,
                    std::size_t bytes) {
  const unsigned offset = static_cast<unsigned>(file.size());
  file.insert(file.end(), text, text + bytes);
  return offset;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: setuphdr-sample OUTPUT [SIZE]\n");
    return 2;
  }
  unsigned long long wanted = 0;
  if (argc == 3) wanted = std::strtoull(argv[2], nullptr, 10);

  static const char kProvider[] = "setuphdr sample";
  static const char kAppName[] = "Hello CE";
  static const char kPlatforms[] = "HPC\0JUPITER\0";  // and the empty last name

  std::vector<unsigned char> file(SetupHeader::kSize, 0);
  unsigned char* h = file.data();
  std::memcpy(h + SetupHeader::kSignature, "MSCE", 4);
  writeLE32(h + 12, 0);
  writeLE32(h + 16, 1);
  writeLE32(h + SetupHeader::kArchitecture, 2577);  // StrongARM
  writeLE32(h + SetupHeader::kMinVersionMajor, 3);
  writeLE32(h + SetupHeader::kMinVersionMinor, 0);
  writeLE32(h + SetupHeader::kMaxVersionMajor, 5);
  writeLE32(h + SetupHeader::kMaxVersionMinor, 99);
  writeLE32(h + SetupHeader::kMinVersionBuild, 0);
  writeLE32(h + SetupHeader::kMaxVersionBuild, 0xE0000000u);
  const unsigned counts[6] = {4, 2, 3, 1, 2, 1};
  for (unsigned i = 0; i < 6; ++i)
    put16(h + SetupHeader::kNumStrings + 2 * i, counts[i]);

  // With a size given, the texts sit at the highest offset that still fits
  // 16 bits, behind zero padding.
  const std::size_t textBytes =
      sizeof kAppName + sizeof kProvider + sizeof kPlatforms;
  if (wanted > file.size() + textBytes) {
    // The last text, the platform list, must still start below 64 KiB.
    std::size_t start = 65535 - sizeof kAppName - sizeof kProvider;
    if (start > wanted - textBytes) start = wanted - textBytes;
    file.resize(start, 0);
  }
  const unsigned app = appendText(file, kAppName, sizeof kAppName);
  const unsigned provider = appendText(file, kProvider, sizeof kProvider);
  const unsigned platforms = appendText(file, kPlatforms, sizeof kPlatforms);
  h = file.data();
  put16(h + SetupHeader::kAppNameText, app);
  put16(h + SetupHeader::kAppNameText + 2, sizeof kAppName);
  put16(h + SetupHeader::kProviderText, provider);
  put16(h + SetupHeader::kProviderText + 2, sizeof kProvider);
  put16(h + SetupHeader::kPlatformsText, platforms);
  put16(h + SetupHeader::kPlatformsText + 2, sizeof kPlatforms);
  if (wanted > file.size()) file.resize(wanted, 0);
  // The header's own record of the whole file length.
  writeLE32(file.data() + 8, static_cast<std::uint32_t>(file.size()));

  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  if (std::fclose(out) != 0 || !ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}

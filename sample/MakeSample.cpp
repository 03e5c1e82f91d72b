// MakeSample.cpp - writes the setup file bundled with setuphdr as its demo,
// and a small cabinet that carries it.
//
//   setuphdr-sample OUTPUT [SIZE]
//   setuphdr-sample --cabinet OUTPUT
//
// The file has a complete header and its texts: provider, app name and the
// unsupported-platforms list. Given a SIZE (bytes, at least the natural
// size), the file is padded with zeros to it and the texts move as far
// towards the end as their 16-bit offsets allow, for timing large files.
// The cabinet holds the setup file (HELLO.000), a text file (readme.txt),
// the headers of an ARM program (hello.exe) and a setup XML (_setup.xml)
// in one stored folder, each block with its checksum.
#include <algorithm>  // std::min
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cabinet/CabinetFormat.h"
#include "cabinet/Checksum.h"
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

// The sample setup file, padded to wanted bytes when that is more than it
// needs.
std::vector<unsigned char> makeSetupFile(unsigned long long wanted) {
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

  return file;
}

// The headers of a Windows CE program for ARM, with no sections: the DOS
// header pointing at "PE\0\0" at 0x80, the file header (machine 0x01C0)
// and a PE32 optional header with 16 empty data directories.
std::vector<unsigned char> makeProgram() {
  constexpr unsigned kPe = 0x80, kOptional = kPe + 24, kOptionalSize = 224;
  std::vector<unsigned char> file(kOptional + kOptionalSize, 0);
  unsigned char* p = file.data();
  std::memcpy(p, "MZ", 2);
  writeLE32(p + 0x3C, kPe);
  std::memcpy(p + kPe, "PE\0\0", 4);
  writeLE16(p + kPe + 4, 0x01C0);              // machine: ARM
  writeLE16(p + kPe + 20, kOptionalSize);
  writeLE16(p + kPe + 22, 0x0102);             // executable, 32-bit
  writeLE16(p + kOptional, 0x10B);             // PE32
  writeLE16(p + kOptional + 68, 9);            // Windows CE GUI
  writeLE32(p + kOptional + 92, 16);           // data directories
  return file;
}

// A cabinet with one stored folder holding the setup file, a text, a
// program and the setup XML that Windows Mobile 5 and later read, with the
// setup file's install checks.
std::vector<unsigned char> makeCabinet(const std::vector<unsigned char>& setup) {
  using namespace CabFormat;
  static const char kReadme[] =
      "Hello CE, the setuphdr sample application.\r\n";
  static const char kSetupXml[] =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<wap-provisioningdoc>\r\n"
      "  <characteristic type=\"Install\">\r\n"
      "    <parm name=\"InstallPhase\" value=\"install\" />\r\n"
      "    <parm name=\"AppName\" value=\"Hello CE\" />\r\n"
      "    <parm name=\"ProcessorType\" value=\"2577\" />\r\n"
      "    <parm name=\"OSVersionMin\" value=\"3.0\" />\r\n"
      "    <parm name=\"OSVersionMax\" value=\"5.99\" />\r\n"
      "    <parm name=\"BuildNumberMin\" value=\"0\" />\r\n"
      "    <parm name=\"BuildNumberMax\" value=\"-536870912\" />\r\n"
      "  </characteristic>\r\n"
      "</wap-provisioningdoc>\r\n";
  const std::vector<unsigned char> program = makeProgram();
  struct Member {
    const char* name;
    const unsigned char* bytes;
    std::uint32_t size;
  } members[4] = {
      {"HELLO.000", setup.data(), static_cast<std::uint32_t>(setup.size())},
      {"readme.txt", reinterpret_cast<const unsigned char*>(kReadme),
       sizeof kReadme - 1},
      {"hello.exe", program.data(), static_cast<std::uint32_t>(program.size())},
      {"_setup.xml", reinterpret_cast<const unsigned char*>(kSetupXml),
       sizeof kSetupXml - 1}};

  std::vector<unsigned char> stream, files;
  for (const Member& member : members) {
    unsigned char entry[kFileEntrySize] = {};
    writeLE32(entry + kFileSize, member.size);
    writeLE32(entry + kFileFolderOffset,
              static_cast<std::uint32_t>(stream.size()));
    writeLE16(entry + kFileDate, 0x5D88);  // 2026-12-08
    writeLE16(entry + kFileTime, 0x6000);  // 12:00:00
    writeLE16(entry + kFileAttributes, 0x20);
    files.insert(files.end(), entry, entry + sizeof entry);
    files.insert(files.end(), member.name,
                 member.name + std::strlen(member.name) + 1);
    stream.insert(stream.end(), member.bytes, member.bytes + member.size);
  }

  const std::uint32_t filesOffset = kHeaderSize + kFolderEntrySize;
  const std::uint32_t dataOffset =
      filesOffset + static_cast<std::uint32_t>(files.size());
  std::vector<unsigned char> data;
  std::uint16_t blocks = 0;
  for (std::size_t at = 0; at < stream.size(); at += kMaxBlockUncompressed) {
    const std::uint32_t size = static_cast<std::uint32_t>(
        std::min<std::size_t>(kMaxBlockUncompressed, stream.size() - at));
    unsigned char header[kBlockHeaderSize] = {};
    writeLE16(header + kBlockDataSize, static_cast<std::uint16_t>(size));
    writeLE16(header + kBlockUncompressed, static_cast<std::uint16_t>(size));
    writeLE32(header + kBlockChecksum,
              blockChecksum(header + kBlockDataSize, stream.data() + at, size));
    data.insert(data.end(), header, header + sizeof header);
    data.insert(data.end(), stream.begin() + at, stream.begin() + at + size);
    ++blocks;
  }

  std::vector<unsigned char> cabinet(kHeaderSize + kFolderEntrySize, 0);
  unsigned char* h = cabinet.data();
  std::memcpy(h + kSignature, "MSCF", 4);
  writeLE32(h + kCabinetSize,
            dataOffset + static_cast<std::uint32_t>(data.size()));
  writeLE32(h + kFilesOffset, filesOffset);
  h[24] = 3;  // format version 1.3
  h[25] = 1;
  writeLE16(h + kFolderCount, 1);
  writeLE16(h + kFileCount, 4);
  unsigned char* folder = h + kHeaderSize;
  writeLE32(folder + kFolderDataOffset, dataOffset);
  writeLE16(folder + kFolderBlockCount, blocks);
  writeLE16(folder + kFolderCompression, kCompressionStored);
  cabinet.insert(cabinet.end(), files.begin(), files.end());
  cabinet.insert(cabinet.end(), data.begin(), data.end());
  return cabinet;
}

bool writeFile(const char* path, const std::vector<unsigned char>& file) {
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) {
    std::perror(path);
    return false;
  }
  const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  if (std::fclose(out) != 0 || !ok) {
    std::perror(path);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--cabinet") == 0)
    return writeFile(argv[2], makeCabinet(makeSetupFile(0))) ? 0 : 1;
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: setuphdr-sample OUTPUT [SIZE]\n"
                         "       setuphdr-sample --cabinet OUTPUT\n");
    return 2;
  }
  unsigned long long wanted = 0;
  if (argc == 3) wanted = std::strtoull(argv[2], nullptr, 10);
  return writeFile(argv[1], makeSetupFile(wanted)) ? 0 : 1;
}

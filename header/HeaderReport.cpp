// HeaderReport.cpp - the display and the change of a setup-file header.
//
// Texts are taken from the file with a bound: each runs to its first NUL or
// to the end of the file, whichever comes first, and is always passed to
// the message writer as an argument, never as a format. On a terminal their
// control bytes are shown as '?'.
#include "header/HeaderReport.h"

#include "header/ArchTable.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"

namespace {

// Copies the text at offset into text (capacity bytes), cut to fit. A
// message cannot show more than its own 1021 characters, so a cut at that
// size loses nothing.
void copyText(const unsigned char* file, std::uint32_t size,
              std::uint32_t offset, char* text, std::uint32_t capacity) {
  std::uint32_t length = textLengthAt(file, size, offset);
  if (length > capacity - 1) length = capacity - 1;
  for (std::uint32_t i = 0; i < length; ++i)
    text[i] = static_cast<char>(file[offset + i]);
  text[length] = '\0';
}

// Control bytes from a file would act on a terminal (retitle it, clear it,
// fake report lines): there they are masked. A file or a pipe gets the
// bytes as they are, so scripts keep the exact report.
void maskOnTerminal(char* text) {
  if (gConsole.outputIsTerminal) maskControlBytes(text);
}

// Appends count characters to list (holding used characters), keeping the
// whole list within kPlatformListLimit bytes including its NUL.
void appendBounded(char* list, std::uint32_t& used, const char* chars,
                   std::uint32_t count) {
  const std::uint32_t room = kPlatformListLimit - 1 - used;
  if (count > room) count = room;
  for (std::uint32_t i = 0; i < count; ++i) list[used + i] = chars[i];
  used += count;
  list[used] = '\0';
}

}  // namespace

void joinPlatformList(const unsigned char* file, std::uint32_t size,
                      std::uint32_t offset, std::uint32_t length, char* list) {
  std::uint32_t used = 0;
  list[0] = '\0';
  const std::uint32_t end = offset + length;
  std::uint32_t position = offset;
  // A name needs at least two bytes of the list: one character and a NUL.
  while (position + 1 < end) {
    if (position != offset) appendBounded(list, used, ", ", 2);
    // The name runs to its NUL, even past the end of the list, but never
    // past the end of the file.
    const std::uint32_t nameLength =
        textLengthAt(file, size, position);
    appendBounded(list, used, reinterpret_cast<const char*>(file + position),
                  nameLength);
    position += nameLength + 1;
  }
}

void showHeader(const unsigned char* file, std::uint32_t size) {
  const HeaderText provider = readHeaderText(file, SetupHeader::kProviderText);
  const HeaderText appName = readHeaderText(file, SetupHeader::kAppNameText);
  const HeaderText platforms =
      readHeaderText(file, SetupHeader::kPlatformsText);
  const std::uint32_t arch = readLE32(file + SetupHeader::kArchitecture);

  char text[kMessageTextLimit];
  printMessage("");
  copyText(file, size, provider.offset, text, sizeof text);
  maskOnTerminal(text);
  printMessage("Provider: %s", text);
  copyText(file, size, appName.offset, text, sizeof text);
  maskOnTerminal(text);
  printMessage("App name: %s", text);
  printMessage("Architecture: %u (%s)", arch, lookupArchName(arch));
  printMessage("WinCE version min: %u.%u build %u",
               readLE32(file + SetupHeader::kMinVersionMajor),
               readLE32(file + SetupHeader::kMinVersionMinor),
               readLE32(file + SetupHeader::kMinVersionBuild));
  printMessage("WinCE version max: %u.%u build %u",
               readLE32(file + SetupHeader::kMaxVersionMajor),
               readLE32(file + SetupHeader::kMaxVersionMinor),
               readLE32(file + SetupHeader::kMaxVersionBuild));
  printMessage("Number of strings: %u",
               static_cast<unsigned>(readLE16(file + SetupHeader::kNumStrings)));
  printMessage("Number of dirs: %u",
               static_cast<unsigned>(readLE16(file + SetupHeader::kNumDirs)));
  printMessage("Number of files: %u",
               static_cast<unsigned>(readLE16(file + SetupHeader::kNumFiles)));
  printMessage(
      "Number of registry hives: %u",
      static_cast<unsigned>(readLE16(file + SetupHeader::kNumRegistryHives)));
  printMessage(
      "Number of registry keys: %u",
      static_cast<unsigned>(readLE16(file + SetupHeader::kNumRegistryKeys)));
  printMessage("Number of links: %u",
               static_cast<unsigned>(readLE16(file + SetupHeader::kNumLinks)));
  if (platforms.length != 0) {
    char list[kPlatformListSize];
    joinPlatformList(file, size, platforms.offset, platforms.length, list);
    maskOnTerminal(list);
    printMessage("Unsupported platforms: %s", list);
  }
}

void storeChanges(unsigned char* header, const ChangeRequest& request) {
  if (request.archGiven)
    writeLE32(header + SetupHeader::kArchitecture, request.arch);
  if (request.minVersionGiven) {
    const VersionTriple& v = request.minVersion;
    writeLE32(header + SetupHeader::kMinVersionMajor, v.major);
    writeLE32(header + SetupHeader::kMinVersionMinor, v.minor);
    writeLE32(header + SetupHeader::kMinVersionBuild, v.build);
  }
  if (request.maxVersionGiven) {
    const VersionTriple& v = request.maxVersion;
    writeLE32(header + SetupHeader::kMaxVersionMajor, v.major);
    writeLE32(header + SetupHeader::kMaxVersionMinor, v.minor);
    writeLE32(header + SetupHeader::kMaxVersionBuild, v.build);
  }
  if (request.clearPlatforms)
    writeLE16(header + SetupHeader::kPlatformsText + 2, 0);
}

void applyChanges(unsigned char* header, const ChangeRequest& request) {
  storeChanges(header, request);
  printChanges(request);
}

void printChanges(const ChangeRequest& request) {
  if (request.archGiven)
    printMessage("Arch set to %u (%s)", request.arch,
                 lookupArchName(request.arch));
  if (request.minVersionGiven) {
    const VersionTriple& v = request.minVersion;
    printMessage("Min ver set to %u.%u build %u", v.major, v.minor, v.build);
  }
  if (request.maxVersionGiven) {
    const VersionTriple& v = request.maxVersion;
    printMessage("Max ver set to %u.%u build %u", v.major, v.minor, v.build);
  }
  if (request.clearPlatforms) printMessage("Unsupported platforms cleared");
}

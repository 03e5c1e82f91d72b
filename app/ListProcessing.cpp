// ListProcessing.cpp - the list action: a catalogue of the setup files in
// many files and folders, one tab-separated row each.
//
// Each file is read the way the display reads it: a setup file whole, a
// cabinet only as far as its tables and the first bytes of its members.
// One file is open and one row is held at a time, so memory does not grow
// with the number of files; a folder's names are held while it is walked.
// Every byte of every field that could end a row or a line (0x00 to 0x1F,
// 0x7F) is printed as '?', whatever the output is. The walk over folders
// and patterns is PathWalk.cpp's.
#include "app/ListProcessing.h"

#include <cstring>

#include "app/CabinetProcessing.h"
#include "app/ExitCodes.h"
#include "app/PathWalk.h"
#include "cabinet/Cabinet.h"
#include "cabinet/CabinetFormat.h"
#include "cabinet/FileTable.h"
#include "cabinet/Programs.h"
#include "cabinet/SetupSearch.h"
#include "header/ArchTable.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Platform.h"
#include "runtime/Runtime.h"
#include "text/Scan.h"

namespace {

constexpr char kHeaderRow[] =
    "path\tmember\tarch\tarch name\tmin version\tmax version\t"
    "unsupported platforms\tsigned\tprograms\tapp name\tprovider\r\n";

// ---------------------------------------------------------------------------
// Rows

// One row being composed, in a block that grows as needed.
struct Row {
  char* text;
  std::size_t used;
  std::size_t room;
  bool full;  // memory ran out: the row is not printed
};

void reserveRow(Row* row, std::size_t more) {
  if (row->full || row->used + more <= row->room) return;
  std::size_t room = row->room == 0 ? 1024 : row->room;
  while (room < row->used + more) room *= 2;
  char* text = static_cast<char*>(allocZeroed(room));
  if (text == nullptr) {
    row->full = true;
    return;
  }
  if (row->used != 0) std::memcpy(text, row->text, row->used);
  freeBlock(row->text);
  row->text = text;
  row->room = room;
}

// Appends count bytes, each control byte as '?'.
void appendMasked(Row* row, const void* bytes, std::size_t count) {
  reserveRow(row, count);
  if (row->full) return;
  const auto* from = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char byte = from[i];
    row->text[row->used++] =
        static_cast<char>(byte < 0x20 || byte == 0x7F ? '?' : byte);
  }
}

void appendText(Row* row, const char* text) {
  appendMasked(row, text, std::strlen(text));
}

// The tab (or the line end) behind a field.
void endField(Row* row, const char* separator = "\t") {
  const std::size_t count = std::strlen(separator);
  reserveRow(row, count);
  if (row->full) return;
  std::memcpy(row->text + row->used, separator, count);
  row->used += count;
}

void appendNumber(Row* row, std::uint32_t value) {
  char digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char text[11];
  for (std::size_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  text[count] = '\0';
  appendText(row, text);
}

// major.minor.build from three header fields.
void appendVersion(Row* row, const unsigned char* file, std::uint32_t major,
                   std::uint32_t minor, std::uint32_t build) {
  appendNumber(row, readLE32(file + major));
  appendText(row, ".");
  appendNumber(row, readLE32(file + minor));
  appendText(row, ".");
  appendNumber(row, readLE32(file + build));
}

// Length of the text at offset: up to its NUL or the end of the file.
std::uint32_t textLength(const unsigned char* file, std::uint32_t size,
                         std::uint32_t offset) {
  std::uint32_t end = offset;
  while (end < size && file[end] != 0) ++end;
  return end - offset;
}

// The text a header reference points at, as the display reads it.
void appendHeaderText(Row* row, const unsigned char* file, std::uint32_t size,
                      std::uint32_t field) {
  const HeaderText text = readHeaderText(file, field);
  if (text.offset < size)
    appendMasked(row, file + text.offset, textLength(file, size, text.offset));
}

// The unsupported platforms joined with ",": the names the display shows,
// walked the same way, without its cut at 126 characters.
void appendPlatforms(Row* row, const unsigned char* file, std::uint32_t size) {
  const HeaderText list = readHeaderText(file, SetupHeader::kPlatformsText);
  const std::uint32_t end = std::uint32_t{list.offset} + list.length;
  std::uint32_t position = list.offset;
  while (position + 1 < end) {
    if (position != list.offset) appendText(row, ",");
    const std::uint32_t length =
        position < size ? textLength(file, size, position) : 0;
    if (length != 0) appendMasked(row, file + position, length);
    position += length + 1;
  }
}

// Prints the row of one validated setup file. member is the cabinet
// member's name, or null for a setup file on its own; isSigned and
// programs are the cabinet's (ignored without a member).
void printRow(const char* path, const unsigned char* file, std::uint32_t size,
              const char* member, bool isSigned, const char* programs) {
  Row row = {nullptr, 0, 0, false};
  const std::uint32_t arch = readLE32(file + SetupHeader::kArchitecture);
  appendText(&row, path);
  endField(&row);
  if (member != nullptr) appendText(&row, member);
  endField(&row);
  appendNumber(&row, arch);
  endField(&row);
  appendText(&row, lookupArchName(arch, ""));
  endField(&row);
  appendVersion(&row, file, SetupHeader::kMinVersionMajor,
                SetupHeader::kMinVersionMinor, SetupHeader::kMinVersionBuild);
  endField(&row);
  appendVersion(&row, file, SetupHeader::kMaxVersionMajor,
                SetupHeader::kMaxVersionMinor, SetupHeader::kMaxVersionBuild);
  endField(&row);
  appendPlatforms(&row, file, size);
  endField(&row);
  if (member != nullptr) appendText(&row, isSigned ? "yes" : "no");
  endField(&row);
  if (member != nullptr && programs != nullptr) appendText(&row, programs);
  endField(&row);
  appendHeaderText(&row, file, size, SetupHeader::kAppNameText);
  endField(&row);
  appendHeaderText(&row, file, size, SetupHeader::kProviderText);
  endField(&row, "\r\n");
  if (row.full) {
    reportError("Cannot allocate memory for a row");
  } else {
    printBytes(row.text, row.used);
  }
  freeBlock(row.text);
}

// ---------------------------------------------------------------------------
// Files

// The row of a cabinet's setup file, once it passes the check. False
// after an error line.
bool listMember(const char* path, const Cabinet& cabinet,
                const SetupMember& member, const ProgramFamilies& programs) {
  // The checks know the member's size; the row reads no further than the
  // bytes held.
  if (!validateHeader(member.bytes, member.size)) return false;
  char buffer[CabFormat::kMaxNameSize];
  const char* name = cabFileName(cabinet, member.index, buffer);
  if (name == nullptr) return false;
  char families[kFamilyListSize] = "";
  if (programs.count != 0) formatProgramFamilies(programs, ",", families);
  printRow(path, member.bytes, member.held, name, cabinet.isSigned, families);
  return true;
}

// The rows of a cabinet: one for each setup file. False after an error
// line.
bool listCabinet(const char* path, platform::Handle file, std::uint32_t size) {
  const CabinetSource source = {nullptr, size, readCabinetRange, &file,
                                 false};
  Cabinet cabinet;
  if (readCabinet(source, &cabinet) != CabStatus::Ok) return false;

  // The usual cabinet, with one setup file: the display's own pass, which
  // copies it on the way. Quiet, since several setup files are no failure
  // here; a read error has had its line from the reader.
  CabinetSource quiet = source;
  quiet.quiet = true;
  SetupMember member = {};
  ProgramFamilies programs = {};
  const CabStatus found = findSetupFile(quiet, &cabinet, &member, &programs);
  if (found == CabStatus::Ok) {
    const bool listed = listMember(path, cabinet, member, programs);
    freeBlock(member.bytes);
    return listed;
  }
  if (found == CabStatus::ReadFailed) return false;

  // None or several: the pass again, saying what is wrong, or listing
  // each setup file, copied one at a time.
  CabinetScan scan;
  if (scanCabinet(source, &cabinet, &scan) != CabStatus::Ok) return false;
  bool listed = scan.setupCount != 0;
  if (!listed) reportError("No setup file in the cabinet");
  for (std::uint32_t i = 0; i < scan.setupCount && !outputFailed(nullptr);
       ++i) {
    if (copySetupFile(source, &cabinet, scan.setupIndices[i], &member) !=
        CabStatus::Ok) {
      listed = false;
      continue;
    }
    if (!listMember(path, cabinet, member, scan.programs)) listed = false;
    freeBlock(member.bytes);
  }
  freeBlock(scan.setupIndices);
  return listed;
}

// The row of a setup file on its own, read whole as the display reads it.
bool listSetupFile(const char* path, platform::Handle file,
                   std::uint32_t size) {
  auto* buffer = static_cast<unsigned char*>(allocZeroed(size));
  if (buffer == nullptr) {
    reportError("Cannot allocate %u bytes for file buffer", size);
    return false;
  }
  bool listed = false;
  if (!platform::readAt(file, 0, buffer, size)) {
    reportSystemError("Cannot read file (%s)");
  } else if (validateHeader(buffer, size)) {
    printRow(path, buffer, size, nullptr, false, nullptr);
    listed = true;
  }
  freeBlock(buffer);
  return listed;
}

// Lists the file at path. named: the user gave it, so a file that is not a
// setup file or a cabinet is an error; found in a folder, it is passed over.
// False after an error line.
bool listFile(const char* path, bool named) {
  platform::Handle file = platform::openFile(path, false);
  if (file == platform::kNoHandle) {
    char errorText[kErrorTextSize];
    reportError("Cannot open \"%s\" (%s)", path,
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    return false;
  }
  std::uint32_t size = 0;
  unsigned char magic[4] = {};
  const platform::SizeResult sized = platform::fileSize(file, &size);
  bool listed = true;
  if (sized == platform::SizeResult::Failed) size = 0;
  const bool hasMagic = sized == platform::SizeResult::TooLarge ||
                        size >= sizeof magic;
  if (hasMagic && !platform::readAt(file, 0, magic, sizeof magic)) {
    reportSystemError("Cannot read file (%s)");
    listed = false;
  } else if (!named && !isCabinetSignature(magic, sizeof magic) &&
             readLE32(magic) != SetupHeader::kSignatureValue) {
    // Not ours: passed over.
  } else if (sized == platform::SizeResult::TooLarge) {
    if (isCabinetSignature(magic, sizeof magic)) {
      reportError("Cabinet \"%s\" is too large (4 GiB or more)", path);
    } else {
      reportError("File \"%s\" is too large (4 GiB or more)", path);
    }
    listed = false;
  } else if (size == 0) {
    reportSystemError("Cannot get file size (%s)");
    listed = false;
  } else if (isCabinetSignature(magic, sizeof magic)) {
    listed = listCabinet(path, file, size);
  } else {
    listed = listSetupFile(path, file, size);
  }
  platform::closeHandle(file);
  return listed;
}

}  // namespace

std::uint32_t listFiles(const Command& command) {
  printBytes(kHeaderRow, sizeof kHeaderRow - 1);
  auto* walk = static_cast<PathWalk*>(allocZeroed(sizeof(PathWalk)));
  if (walk == nullptr) {
    reportError("Cannot allocate %u bytes for file buffer",
                static_cast<std::uint32_t>(sizeof(PathWalk)));
    return kExitNoMemory;
  }
  walk->visit = listFile;
  // The paths were checked when the command line was read.
  const char* position = command.paths;
  bool going = !outputFailed(nullptr);
  while (going && *position != '\0') {
    char word[kPathSize];
    position = skipBlanks(readPathWord(position, word));
    going = walkPath(walk, word);
  }
  setErrorPrefix(nullptr);
  const bool failed = walk->failed;
  freeBlock(walk);
  if (outputFailed(nullptr)) return kExitOutputFailed;
  return failed ? kExitListFailed : kExitOk;
}

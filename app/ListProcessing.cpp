// ListProcessing.cpp - the list action: a catalogue of the setup files in
// many files and folders, one tab-separated row each.
//
// Each file is read the way the display reads it: a setup file whole, a
// cabinet only as far as its tables and the first bytes of its members.
// One file is open and one row is held at a time, so memory does not grow
// with the number of files; a folder's names are held while it is walked.
// Every byte of every field that could end a row or a line (0x00 to 0x1F,
// 0x7F) is printed as '?', whatever the output is.
#include "app/ListProcessing.h"

#include <algorithm>  // std::sort: names in a folder
#include <cstring>

#include "app/CabinetProcessing.h"
#include "app/ExitCodes.h"
#include "cabinet/Cabinet.h"
#include "cabinet/CabinetFormat.h"
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

// Room of a path built by walking folders, NUL included.
constexpr std::size_t kWalkPathSize = 1024;
// Room of one name in a folder, NUL included.
constexpr std::size_t kEntryNameSize = 256;

constexpr char kHeaderRow[] =
    "path\tmember\tarch\tarch name\tmin version\tmax version\t"
    "unsupported platforms\tsigned\tprograms\tapp name\tprovider\r\n";

// The state of one listing.
struct Lister {
  char path[kWalkPathSize];  // the path being listed
  bool failed;               // some path or file could not be listed
};

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

// The architecture's name from the table, or nothing.
const char* archNameOrEmpty(std::uint32_t code) {
  for (const ArchEntry& entry : kArchTable) {
    if (entry.code == code) return entry.name;
  }
  return "";
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
  appendText(&row, archNameOrEmpty(arch));
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

// Reports the last system error with format (one "%s" for its text).
void reportSystemError(const char* format) {
  char errorText[kErrorTextSize];
  reportError(format, describeError(errorText, sizeof errorText,
                                    platform::lastError()));
}

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

// ---------------------------------------------------------------------------
// Folders

// The entries of a folder: records of a kind byte and a NUL-terminated name
// one after the other in one block, and their positions, sorted by name.
struct Entries {
  char* names;
  std::size_t used;
  std::size_t room;
  std::uint32_t* order;
  std::uint32_t count;
};

void freeEntries(Entries* entries) {
  freeBlock(entries->names);
  freeBlock(entries->order);
}

bool addEntry(Entries* entries, const char* name, platform::PathKind kind) {
  const std::size_t size = std::strlen(name) + 2;
  if (entries->used + size > entries->room) {
    std::size_t room = entries->room == 0 ? 4096 : entries->room * 2;
    while (room < entries->used + size) room *= 2;
    char* names = static_cast<char*>(allocZeroed(room));
    if (names == nullptr) return false;
    if (entries->used != 0) std::memcpy(names, entries->names, entries->used);
    freeBlock(entries->names);
    entries->names = names;
    entries->room = room;
  }
  entries->names[entries->used] = static_cast<char>(kind);
  std::memcpy(entries->names + entries->used + 1, name, size - 1);
  entries->used += size;
  ++entries->count;
  return true;
}

// Reads a folder's entries (those matching pattern, where given) and sorts
// them by name, byte for byte. False after an error line.
bool readEntries(const char* directory, const char* pattern,
                 Entries* entries) {
  const platform::Handle handle = platform::openDirectory(directory, pattern);
  if (handle == platform::kNoHandle) {
    reportSystemError("Cannot read folder (%s)");
    return false;
  }
  char name[kEntryNameSize];
  platform::PathKind kind;
  bool complete = true;
  while (platform::readDirectory(handle, name, sizeof name, &kind)) {
    if (!addEntry(entries, name, kind)) {
      reportError("Cannot allocate memory for the names of a folder");
      complete = false;
      break;
    }
  }
  if (complete && platform::lastError() != 0) {
    reportSystemError("Cannot read folder (%s)");
    complete = false;
  }
  platform::closeDirectory(handle);
  if (!complete) return false;

  entries->order = static_cast<std::uint32_t*>(
      allocZeroed(sizeof(std::uint32_t) * (entries->count + 1)));
  if (entries->order == nullptr) {
    reportError("Cannot allocate memory for the names of a folder");
    return false;
  }
  std::uint32_t at = 0;
  for (std::uint32_t i = 0; i < entries->count; ++i) {
    entries->order[i] = at;
    at += static_cast<std::uint32_t>(std::strlen(entries->names + at + 1)) + 2;
  }
  const char* names = entries->names;
  std::sort(entries->order, entries->order + entries->count,
            [names](std::uint32_t a, std::uint32_t b) {
              return std::strcmp(names + a + 1, names + b + 1) < 0;
            });
  return true;
}

// Puts name behind the first length characters of the lister's path (a
// folder), with a separator unless the folder ends in one (or, on Windows,
// is a drive such as "C:"). When the path would not fit, reports it with
// the folder's path and returns false, the path left as it was.
bool joinPath(Lister* lister, std::size_t length, const char* name) {
  const char separator = platform::pathSeparator();
  const char last = length != 0 ? lister->path[length - 1] : separator;
  const bool joined = last == separator || last == '/' ||
                      (separator == '\\' && last == ':');
  const std::size_t at = joined ? length : length + 1;
  const std::size_t nameLength = std::strlen(name);
  if (at + nameLength + 1 > sizeof lister->path) {
    setErrorPrefix(lister->path);
    reportError("Path too long for \"%s\"", name);
    return false;
  }
  if (!joined) lister->path[length] = separator;
  std::memcpy(lister->path + at, name, nameLength + 1);
  return true;
}

// The file or folder at the lister's path and what it holds; named tells
// whether the user named it or it was found in a folder.
bool listPath(Lister* lister, bool named);

// Lists the folder at the lister's path, its entries in name order, and
// every folder in it the same way.
bool listFolder(Lister* lister) {
  Entries entries = {};
  if (!readEntries(lister->path, nullptr, &entries)) {
    lister->failed = true;
    freeEntries(&entries);
    return !outputFailed(nullptr);
  }
  const std::size_t length = std::strlen(lister->path);
  bool going = true;
  for (std::uint32_t i = 0; going && i < entries.count; ++i) {
    const char* record = entries.names + entries.order[i];
    const auto kind = static_cast<platform::PathKind>(record[0]);
    if (kind == platform::PathKind::Other) continue;
    if (!joinPath(lister, length, record + 1)) {
      lister->failed = true;
      continue;
    }
    going = kind == platform::PathKind::Directory ? listFolder(lister)
                                                  : listPath(lister, false);
    lister->path[length] = '\0';
  }
  freeEntries(&entries);
  return going;
}

bool listPath(Lister* lister, bool named) {
  setErrorPrefix(lister->path);
  if (named && platform::pathKind(lister->path) ==
                   platform::PathKind::Directory)
    return listFolder(lister);
  if (!listFile(lister->path, named)) lister->failed = true;
  return !outputFailed(nullptr);
}

// Where the system leaves wildcards to the program: the paths that match
// the "*" and "?" in word's last part, in name order. Others are listed as
// they are.
bool listWord(Lister* lister, const char* word) {
  std::size_t lastPart = 0;
  bool wildcard = false;
  for (std::size_t i = 0; word[i] != '\0'; ++i) {
    if (word[i] == '\\' || word[i] == '/' || word[i] == ':') {
      lastPart = i + 1;
      wildcard = false;
    } else if (word[i] == '*' || word[i] == '?') {
      wildcard = true;
    }
  }
  std::strcpy(lister->path, word);
  if (!wildcard || !platform::expandsWildcards()) return listPath(lister, true);

  setErrorPrefix(lister->path);
  char directory[kPathSize];
  std::memcpy(directory, word, lastPart);
  directory[lastPart] = '\0';
  Entries entries = {};
  if (!readEntries(directory, word + lastPart, &entries)) {
    lister->failed = true;
  } else if (entries.count == 0) {
    reportError("No file matches the pattern");
    lister->failed = true;
  }
  bool going = !outputFailed(nullptr);
  for (std::uint32_t i = 0; going && i < entries.count; ++i) {
    std::memcpy(lister->path, directory, lastPart + 1);
    const char* name = entries.names + entries.order[i] + 1;
    if (!joinPath(lister, lastPart, name)) {
      lister->failed = true;
      continue;
    }
    going = listPath(lister, true);
  }
  freeEntries(&entries);
  return going;
}

}  // namespace

std::uint32_t listFiles(const Command& command) {
  printBytes(kHeaderRow, sizeof kHeaderRow - 1);
  auto* lister = static_cast<Lister*>(allocZeroed(sizeof(Lister)));
  if (lister == nullptr) {
    reportError("Cannot allocate %u bytes for file buffer",
                static_cast<std::uint32_t>(sizeof(Lister)));
    return kExitNoMemory;
  }
  // The paths were checked when the command line was read.
  const char* position = command.paths;
  bool going = !outputFailed(nullptr);
  while (going && *position != '\0') {
    char word[kPathSize];
    position = skipBlanks(readPathWord(position, word));
    going = listWord(lister, word);
  }
  setErrorPrefix(nullptr);
  const bool failed = lister->failed;
  freeBlock(lister);
  if (outputFailed(nullptr)) return kExitOutputFailed;
  return failed ? kExitListFailed : kExitOk;
}

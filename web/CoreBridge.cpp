// CoreBridge.cpp - the functions the web page's worker calls: it puts the
// user's files into the in-memory store, runs the tool's own command line
// on them, and reads back what the two streams received and the new bytes
// of a changed file. The architecture table and the processor families for
// the page's drop-down come from the core's tables here.
//
// Plain C functions over NUL-terminated UTF-8 texts, exported from the
// WebAssembly module by name (web/WebPage.cmake lists them).
#include <cstdint>
#include <cstdio>   // snprintf
#include <cstring>

#include "app/CommandLine.h"
#include "app/Options.h"
#include "app/Run.h"
#include "app/Version.h"  // generated: the project's version
#include "cabinet/Programs.h"
#include "header/ArchTable.h"
#include "runtime/PlatformMemory.h"
#include "runtime/Runtime.h"

namespace {

// The program name in front of the arguments; joinArguments skips it.
const char kProgramName[] = "setuphdr";

// The command line of the last run, kept for webCommandLine.
char* gCommandLine = nullptr;

// Room for the architecture table's text: a row is at most a 10-digit code,
// a name of under 20 characters, a family name and three separators.
constexpr std::size_t kArchTableTextSize =
    kArchTableSize * (10 + kArchWordSize + kFamilyNameSize + 3) + 1;

// True when word, given as one argument, reads back from the joined
// command line as the one path word it is, with nothing behind it: no
// blank or quote is lost and it fits the path buffer. A word with a control
// byte is not carried either: the tool's lines show it masked, so the page
// could not find it in them.
bool carriedAsPath(const char* word) {
  if (word[0] == '\0' || word[0] == '-') return false;
  for (const char* at = word; *at != '\0'; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  const char* const argv[2] = {kProgramName, word};
  char* joined = joinArguments(2, argv);
  if (joined == nullptr) return false;
  char path[kPathSize];
  const char* next = readPathWord(joined, path);
  const bool carried =
      next != nullptr && *next == '\0' && std::strcmp(path, word) == 0;
  freeBlock(joined);
  return carried;
}

// Copies name's extension (from its last dot: a dot and one to eight
// letters or digits) into extension (10 bytes); empty when it has none.
void copyExtension(const char* name, char* extension) {
  extension[0] = '\0';
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return;
  std::size_t length = 1;
  while (dot[length] != '\0') {
    const char c = dot[length];
    const bool alphanumeric = (c >= '0' && c <= '9') ||
                              (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alphanumeric || length > 8) return;
    ++length;
  }
  if (length == 1) return;
  std::memcpy(extension, dot, length + 1);
}

}  // namespace

extern "C" {

/// The tool's version and ownership notice, as the usage text shows them.
const char* webVersion() {
  return SETUPHDR_VERSION_TEXT " " SETUPHDR_COPYRIGHT;
}

/// The architecture table, one row per entry in the table's order, each
/// "code TAB name TAB family LF"; the family is the name of the processor
/// family whose programs the code runs, empty for Any.
const char* webArchTable() {
  static char text[kArchTableTextSize];
  if (text[0] != '\0') return text;
  std::size_t used = 0;
  for (const ArchEntry& entry : kArchTable) {
    char family[kFamilyNameSize];
    const int length = std::snprintf(
        text + used, sizeof text - used, "%u\t%s\t%s\n",
        static_cast<unsigned>(entry.code), entry.name,
        familyName(archFamily(entry.code), family));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text - used)
      break;
    used += static_cast<std::size_t>(length);
  }
  return text;
}

/// The path under which to store a chosen file of this name and give it to
/// the command line: the name itself when one argument carries it to the
/// tool's path reader (see carriedAsPath) and no stored file has it; "./"
/// before a name that starts with "-" (which would read as an option);
/// otherwise "file-N" with the name's extension, N the first number no
/// stored file has. The text stays valid until the next call.
const char* webCommandWord(const char* name) {
  static char word[kPathSize + 2];
  const bool dashed = name[0] == '-';
  const std::size_t length = std::strlen(name);
  if (length + (dashed ? 2 : 0) < sizeof word) {
    std::snprintf(word, sizeof word, "%s%s", dashed ? "./" : "", name);
    if (carriedAsPath(word) && !memoryplatform::hasFile(word)) return word;
  }
  char extension[10];
  copyExtension(name, extension);
  for (unsigned number = 1;; ++number) {
    std::snprintf(word, sizeof word, "file-%u%s", number, extension);
    if (!memoryplatform::hasFile(word)) return word;
  }
}

/// Stores a file under word (see PlatformMemory.h: the store takes over
/// bytes, a block from malloc). False when memory is short.
bool webPutFile(const char* word, unsigned char* bytes, std::uint32_t size) {
  return memoryplatform::putFile(word, bytes, size);
}

/// Drops the file stored under word.
void webDropFile(const char* word) { memoryplatform::dropFile(word); }

/// Drops every stored file.
void webDropAllFiles() { memoryplatform::dropAllFiles(); }

/// Runs the tool on count arguments (each NUL-terminated, one after the
/// other in words), joined into one command line as the process entry joins
/// argv. Returns the exit code; webStreamData then holds what the run wrote.
std::uint32_t webRun(const char* words, std::uint32_t count) {
  const char** argv = static_cast<const char**>(
      allocZeroed((std::size_t{count} + 1) * sizeof(const char*)));
  if (argv == nullptr) return runCommand(nullptr);
  argv[0] = kProgramName;
  for (std::uint32_t i = 1; i <= count; ++i) {
    argv[i] = words;
    words += std::strlen(words) + 1;
  }
  freeBlock(gCommandLine);
  gCommandLine = joinArguments(static_cast<int>(count) + 1, argv);
  freeBlock(argv);
  // Without the text the run fails as a runtime that cannot start.
  return runCommand(gCommandLine);
}

/// The command line behind the program name that the last run was given
/// (empty before the first run or when it could not be built).
const char* webCommandLine() {
  return gCommandLine != nullptr ? gCommandLine : "";
}

/// The bytes the last run wrote to stream 0 (output), 1 (error) or 2 (both,
/// in order), and their count.
const char* webStreamData(std::uint32_t stream) {
  std::size_t size = 0;
  return memoryplatform::streamBytes(
      static_cast<memoryplatform::Stream>(stream % 3), &size);
}
std::uint32_t webStreamSize(std::uint32_t stream) {
  std::size_t size = 0;
  memoryplatform::streamBytes(static_cast<memoryplatform::Stream>(stream % 3),
                              &size);
  return static_cast<std::uint32_t>(size);
}

/// The bytes of the file stored under word (after a change, the new ones),
/// and their count; null and 0 when there is none.
const unsigned char* webFileData(const char* word) {
  std::uint32_t size = 0;
  return memoryplatform::fileBytes(word, &size);
}
std::uint32_t webFileSize(const char* word) {
  std::uint32_t size = 0;
  memoryplatform::fileBytes(word, &size);
  return size;
}

}  // extern "C"

// PathWalk.cpp - the walk over the paths of the list action: a folder is
// read whole, its names sorted byte for byte, and each name visited in
// that order; subfolders the same way, links to folders not followed. On
// Windows, a "*" or "?" in a path's last part is expanded here.
#include "app/PathWalk.h"

#include <algorithm>  // std::sort: names in a folder
#include <cstring>

#include "app/Options.h"  // kPathSize: a word of the command line
#include "runtime/Console.h"
#include "runtime/Platform.h"
#include "runtime/Runtime.h"

namespace {

// Room of one name in a folder, NUL included.
constexpr std::size_t kEntryNameSize = 256;

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

// Notes an error line of the walk's own, whose path is the walk's path,
// and tells the hook.
void walkFailed(PathWalk* walk) {
  walk->failed = true;
  if (walk->failedHook != nullptr)
    walk->failedHook(walk->context, walk->path);
}

// Puts name behind the first length characters of the walk's path (a
// folder), with a separator unless the folder ends in one (or, on Windows,
// is a drive such as "C:"). When the path would not fit, reports it with
// the folder's path, notes the failure and returns false, the path left as
// it was.
bool joinPath(PathWalk* walk, std::size_t length, const char* name) {
  const char separator = platform::pathSeparator();
  const char last = length != 0 ? walk->path[length - 1] : separator;
  const bool joined = last == separator || last == '/' ||
                      (separator == '\\' && last == ':');
  const std::size_t at = joined ? length : length + 1;
  const std::size_t nameLength = std::strlen(name);
  if (at + nameLength + 1 > sizeof walk->path) {
    setErrorPrefix(walk->path);
    reportError("Path too long for \"%s\"", name);
    walkFailed(walk);
    return false;
  }
  if (!joined) walk->path[length] = separator;
  std::memcpy(walk->path + at, name, nameLength + 1);
  return true;
}

// Visits the file or walks the folder at the walk's path; named tells
// whether the user named it or it was found in a folder.
bool walkOne(PathWalk* walk, bool named);

// Walks the folder at the walk's path, its entries in name order, and
// every folder in it the same way.
bool walkFolder(PathWalk* walk) {
  Entries entries = {};
  if (!readEntries(walk->path, nullptr, &entries)) {
    walkFailed(walk);
    freeEntries(&entries);
    return !outputFailed(nullptr);
  }
  const std::size_t length = std::strlen(walk->path);
  bool going = true;
  for (std::uint32_t i = 0; going && i < entries.count; ++i) {
    const char* record = entries.names + entries.order[i];
    const auto kind = static_cast<platform::PathKind>(record[0]);
    if (kind == platform::PathKind::Other) continue;
    if (!joinPath(walk, length, record + 1)) continue;
    going = kind == platform::PathKind::Directory ? walkFolder(walk)
                                                  : walkOne(walk, false);
    walk->path[length] = '\0';
  }
  freeEntries(&entries);
  return going;
}

bool walkOne(PathWalk* walk, bool named) {
  setErrorPrefix(walk->path);
  if (named && platform::pathKind(walk->path) ==
                   platform::PathKind::Directory)
    return walkFolder(walk);
  if (!walk->visit(walk->context, walk->path, named)) walk->failed = true;
  return !outputFailed(nullptr);
}

}  // namespace

bool walkPath(PathWalk* walk, const char* word) {
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
  std::strcpy(walk->path, word);
  if (!wildcard || !platform::expandsWildcards()) return walkOne(walk, true);

  setErrorPrefix(walk->path);
  char directory[kPathSize];
  std::memcpy(directory, word, lastPart);
  directory[lastPart] = '\0';
  Entries entries = {};
  if (!readEntries(directory, word + lastPart, &entries)) {
    walkFailed(walk);
  } else if (entries.count == 0) {
    reportError("No file matches the pattern");
    walkFailed(walk);
  }
  bool going = !outputFailed(nullptr);
  for (std::uint32_t i = 0; going && i < entries.count; ++i) {
    std::memcpy(walk->path, directory, lastPart + 1);
    const char* name = entries.names + entries.order[i] + 1;
    if (!joinPath(walk, lastPart, name)) continue;
    going = walkOne(walk, true);
  }
  freeEntries(&entries);
  return going;
}

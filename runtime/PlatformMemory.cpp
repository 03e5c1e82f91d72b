// PlatformMemory.cpp - the platform layer over files held in memory: only
// the C library's heap and formatting, no system calls (the web page).
//
// Files live in a store the host fills (PlatformMemory.h); the output and
// error streams are sinks the host reads after the run. Error codes and
// their texts are those of Linux, so every line reads as the Linux build's
// does. See Platform.h for each function's contract.
#include "runtime/PlatformMemory.h"

#include <cstdarg>
#include <cstdio>   // snprintf
#include <cstdlib>  // malloc, calloc, realloc, free, exit
#include <cstring>

#include "runtime/Platform.h"

namespace {

// The error codes the layer sets, with Linux's numbers and texts.
constexpr std::uint32_t kNoError = 0;
constexpr std::uint32_t kNoSuchFile = 2;       // ENOENT
constexpr std::uint32_t kNoMemory = 12;        // ENOMEM
constexpr std::uint32_t kInvalid = 22;         // EINVAL
constexpr std::uint32_t kTooManyOpen = 24;     // EMFILE
constexpr std::uint32_t kTooLarge = 27;        // EFBIG
constexpr std::uint32_t kNameTooLong = 36;     // ENAMETOOLONG
constexpr std::uint32_t kNoData = 61;          // ENODATA

struct ErrorText {
  std::uint32_t code;
  const char* text;
};

const ErrorText kErrorTexts[] = {
    {kNoError, "Success"},
    {kNoSuchFile, "No such file or directory"},
    {kNoMemory, "Cannot allocate memory"},
    {kInvalid, "Invalid argument"},
    {kTooManyOpen, "Too many open files"},
    {kTooLarge, "File too large"},
    {kNameTooLong, "File name too long"},
    {kNoData, "No data available"},
};

// One stored file. id stays with the file through a rename (its inode);
// version moves with every write (its modification time).
struct StoredFile {
  char* path;
  unsigned char* bytes;
  std::uint32_t size;
  std::uint32_t room;
  std::uint64_t id;
  std::uint64_t version;
};

// One open file: the file's id and the position of the next write.
struct OpenFile {
  bool used;
  bool writable;
  std::uint64_t id;
  std::uint32_t position;
};

// A stream's bytes, in a block that grows as needed.
struct Sink {
  char* bytes;
  std::size_t used;
  std::size_t room;
};

constexpr platform::Handle kInputHandle = 1;
constexpr platform::Handle kOutputHandle = 2;
constexpr platform::Handle kErrorHandle = 3;
constexpr platform::Handle kFirstFileHandle = 16;
constexpr std::size_t kOpenFiles = 8;

struct Store {
  StoredFile* files;
  std::size_t count;
  std::size_t room;
  std::uint64_t nextId;
  OpenFile open[kOpenFiles];
  Sink sinks[3];  // indexed by memoryplatform::Stream
  std::uint32_t lastError;
};

Store gStore = {};

// The index of the file stored under path, or count when there is none.
std::size_t findPath(const char* path) {
  for (std::size_t i = 0; i < gStore.count; ++i) {
    if (std::strcmp(gStore.files[i].path, path) == 0) return i;
  }
  return gStore.count;
}

// The stored file with this id, or null.
StoredFile* findId(std::uint64_t id) {
  for (std::size_t i = 0; i < gStore.count; ++i) {
    if (gStore.files[i].id == id) return &gStore.files[i];
  }
  return nullptr;
}

// Removes the file at index from the store and frees it.
void removeAt(std::size_t index) {
  std::free(gStore.files[index].path);
  std::free(gStore.files[index].bytes);
  gStore.files[index] = gStore.files[--gStore.count];
}

// A new, empty file under path; null (lastError set) when memory is short.
StoredFile* addFile(const char* path) {
  if (gStore.count == gStore.room) {
    const std::size_t room = gStore.room == 0 ? 8 : gStore.room * 2;
    auto* files = static_cast<StoredFile*>(
        std::realloc(gStore.files, room * sizeof(StoredFile)));
    if (files == nullptr) {
      gStore.lastError = kNoMemory;
      return nullptr;
    }
    gStore.files = files;
    gStore.room = room;
  }
  const std::size_t length = std::strlen(path);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) {
    gStore.lastError = kNoMemory;
    return nullptr;
  }
  std::memcpy(copy, path, length + 1);
  StoredFile* file = &gStore.files[gStore.count++];
  *file = StoredFile{copy, nullptr, 0, 0, ++gStore.nextId, 1};
  return file;
}

// The open file of handle, or null for any other handle.
OpenFile* openFileOf(platform::Handle handle) {
  if (handle < kFirstFileHandle ||
      handle >= kFirstFileHandle + static_cast<platform::Handle>(kOpenFiles))
    return nullptr;
  OpenFile* open = &gStore.open[handle - kFirstFileHandle];
  return open->used ? open : nullptr;
}

// Opens the file with id in a free slot; kNoHandle (lastError set) when
// every slot is taken.
platform::Handle openSlot(std::uint64_t id, bool writable) {
  for (std::size_t i = 0; i < kOpenFiles; ++i) {
    if (gStore.open[i].used) continue;
    gStore.open[i] = OpenFile{true, writable, id, 0};
    return kFirstFileHandle + static_cast<platform::Handle>(i);
  }
  gStore.lastError = kTooManyOpen;
  return platform::kNoHandle;
}

// Appends size bytes to a sink. False when memory is short.
bool appendToSink(Sink* sink, const void* bytes, std::size_t size) {
  if (sink->used + size > sink->room) {
    std::size_t room = sink->room == 0 ? 4096 : sink->room;
    while (room < sink->used + size) room *= 2;
    char* grown = static_cast<char*>(std::realloc(sink->bytes, room));
    if (grown == nullptr) return false;
    sink->bytes = grown;
    sink->room = room;
  }
  std::memcpy(sink->bytes + sink->used, bytes, size);
  sink->used += size;
  return true;
}

// Writes size bytes at the open file's position, growing the file. False
// (lastError set) when memory is short or the file would pass 4 GiB.
bool writeToFile(OpenFile* open, const void* bytes, std::uint32_t size) {
  StoredFile* file = findId(open->id);
  if (file == nullptr) {
    gStore.lastError = kNoSuchFile;
    return false;
  }
  const std::uint64_t end = std::uint64_t{open->position} + size;
  if (end > 0xFFFFFFFFu) {
    gStore.lastError = kTooLarge;
    return false;
  }
  if (end > file->room) {
    // A file written in one piece (a new cabinet) gets its exact size.
    std::uint64_t room = file->room == 0 ? end : file->room * std::uint64_t{2};
    if (room < end) room = end;
    if (room > 0xFFFFFFFFu) room = 0xFFFFFFFFu;
    auto* grown = static_cast<unsigned char*>(
        std::realloc(file->bytes, static_cast<std::size_t>(room)));
    if (grown == nullptr) {
      gStore.lastError = kNoMemory;
      return false;
    }
    file->bytes = grown;
    file->room = static_cast<std::uint32_t>(room);
  }
  if (size != 0) std::memcpy(file->bytes + open->position, bytes, size);
  open->position = static_cast<std::uint32_t>(end);
  if (end > file->size) file->size = static_cast<std::uint32_t>(end);
  ++file->version;
  return true;
}

// The length of path's folder part, its last slash included.
std::size_t folderLength(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

}  // namespace

namespace memoryplatform {

bool putFile(const char* path, unsigned char* bytes, std::uint32_t size) {
  const std::size_t index = findPath(path);
  StoredFile* file =
      index < gStore.count ? &gStore.files[index] : addFile(path);
  if (file == nullptr) {
    std::free(bytes);
    return false;
  }
  std::free(file->bytes);
  file->bytes = bytes;
  file->size = size;
  file->room = size;
  ++file->version;
  return true;
}

bool hasFile(const char* path) { return findPath(path) < gStore.count; }

const unsigned char* fileBytes(const char* path, std::uint32_t* size) {
  const std::size_t index = findPath(path);
  if (index == gStore.count) {
    *size = 0;
    return nullptr;
  }
  *size = gStore.files[index].size;
  return gStore.files[index].bytes;
}

void dropFile(const char* path) {
  const std::size_t index = findPath(path);
  if (index < gStore.count) removeAt(index);
}

void dropAllFiles() {
  while (gStore.count != 0) removeAt(0);
}

const char* streamBytes(Stream stream, std::size_t* size) {
  const Sink& sink = gStore.sinks[static_cast<int>(stream)];
  *size = sink.used;
  return sink.bytes;
}

}  // namespace memoryplatform

namespace platform {

const char* processCommandLine() { return nullptr; }

// The host calls runCommand, which returns; only startTool ends a process.
void exitProcess(std::uint32_t code) { std::exit(static_cast<int>(code)); }

void startProcess() {}

bool acquireStdHandles(Handle* input, Handle* output, Handle* error) {
  // A run begins: its streams start empty.
  for (Sink& sink : gStore.sinks) sink.used = 0;
  if (input != nullptr) *input = kInputHandle;
  if (output != nullptr) *output = kOutputHandle;
  if (error != nullptr) *error = kErrorHandle;
  return true;
}

void closeHandle(Handle handle) {
  if (OpenFile* open = openFileOf(handle)) open->used = false;
}

bool isTerminal(Handle) { return false; }

std::size_t systemErrorText(std::uint32_t code, char* buffer,
                            std::size_t room) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.code != code) continue;
    const std::size_t length = std::strlen(entry.text);
    if (length + 1 > room) return 0;
    std::memcpy(buffer, entry.text, length + 1);
    return length;
  }
  return 0;
}

std::uint32_t lastError() { return gStore.lastError; }

void setLastError(std::uint32_t code) { gStore.lastError = code; }

bool versionSupported() { return true; }

void* allocZeroed(std::size_t size) {
  void* block = std::calloc(1, size);
  if (block == nullptr) gStore.lastError = kNoMemory;
  return block;
}

void freeBlock(void* block) { std::free(block); }

Handle openFile(const char* path, bool forWriting) {
  const std::size_t index = findPath(path);
  if (index == gStore.count) {
    gStore.lastError = kNoSuchFile;
    return kNoHandle;
  }
  return openSlot(gStore.files[index].id, forWriting);
}

SizeResult fileSize(Handle file, std::uint32_t* size) {
  const OpenFile* open = openFileOf(file);
  const StoredFile* stored = open != nullptr ? findId(open->id) : nullptr;
  if (stored == nullptr) {
    gStore.lastError = kNoSuchFile;
    return SizeResult::Failed;
  }
  // As on the systems, a size read without error leaves the error cleared.
  gStore.lastError = kNoError;
  *size = stored->size;
  return SizeResult::Ok;
}

bool readAt(Handle file, std::uint32_t offset, void* buffer,
            std::uint32_t size) {
  const OpenFile* open = openFileOf(file);
  const StoredFile* stored = open != nullptr ? findId(open->id) : nullptr;
  if (stored == nullptr) {
    gStore.lastError = kNoSuchFile;
    return false;
  }
  if (offset > stored->size || size > stored->size - offset) {
    gStore.lastError = kNoData;  // the file ends before the range does
    return false;
  }
  if (size != 0) std::memcpy(buffer, stored->bytes + offset, size);
  return true;
}

bool seekToStart(Handle file) {
  OpenFile* open = openFileOf(file);
  if (open == nullptr) {
    gStore.lastError = kInvalid;
    return false;
  }
  open->position = 0;
  return true;
}

bool writeLimitAllows(std::uint64_t) { return true; }

bool writeBytes(Handle handle, const void* bytes, std::uint32_t size,
                std::uint32_t* written) {
  *written = 0;
  if (handle == kOutputHandle || handle == kErrorHandle) {
    Sink& sink = gStore.sinks[static_cast<int>(
        handle == kOutputHandle ? memoryplatform::Stream::Output
                                : memoryplatform::Stream::Error)];
    Sink& both = gStore.sinks[static_cast<int>(memoryplatform::Stream::Both)];
    if (!appendToSink(&sink, bytes, size)) {
      gStore.lastError = kNoMemory;
      return false;
    }
    if (!appendToSink(&both, bytes, size)) {
      sink.used -= size;  // the two sinks stay alike
      gStore.lastError = kNoMemory;
      return false;
    }
    *written = size;
    return true;
  }
  OpenFile* open = openFileOf(handle);
  if (open == nullptr || !open->writable) {
    gStore.lastError = kInvalid;
    return false;
  }
  if (!writeToFile(open, bytes, size)) return false;
  *written = size;
  return true;
}

bool fileIdentity(Handle file, FileIdentity* identity) {
  const OpenFile* open = openFileOf(file);
  const StoredFile* stored = open != nullptr ? findId(open->id) : nullptr;
  if (stored == nullptr) {
    gStore.lastError = kNoSuchFile;
    return false;
  }
  *identity = FileIdentity{1, stored->id, stored->version, stored->version};
  return true;
}

bool pathHasIdentity(const char* path, const FileIdentity& identity) {
  const std::size_t index = findPath(path);
  return index < gStore.count && gStore.files[index].id == identity.index;
}

bool resolveLinks(const char* path, Handle, char* target) {
  // No links in the store: a file is replaced under its own path.
  const std::size_t length = std::strlen(path);
  if (length >= kTempPathSize) {
    gStore.lastError = kNameTooLong;
    return false;
  }
  std::memcpy(target, path, length + 1);
  return true;
}

Handle createTempBeside(const char* path, Handle original, char* tempPath) {
  if (openFileOf(original) == nullptr) {
    gStore.lastError = kInvalid;
    return kNoHandle;
  }
  const int folder = static_cast<int>(folderLength(path));
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const int length = std::snprintf(tempPath, kTempPathSize,
                                     "%.*s.setuphdr-1-%u.tmp", folder, path,
                                     attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= kTempPathSize) {
      gStore.lastError = kNameTooLong;
      return kNoHandle;
    }
    if (memoryplatform::hasFile(tempPath)) continue;
    StoredFile* file = addFile(tempPath);
    if (file == nullptr) return kNoHandle;
    const Handle handle = openSlot(file->id, true);
    if (handle == kNoHandle) removeAt(findPath(tempPath));
    return handle;
  }
  gStore.lastError = kInvalid;
  return kNoHandle;
}

bool flushFile(Handle) { return true; }

bool replaceFile(const char* tempPath, const char* path, Handle* original) {
  const std::size_t tempIndex = findPath(tempPath);
  if (tempIndex == gStore.count) {
    gStore.lastError = kNoSuchFile;
    return false;
  }
  // As a rename: the new file (and its id) takes the name.
  char* newPath = static_cast<char*>(std::malloc(std::strlen(path) + 1));
  if (newPath == nullptr) {
    gStore.lastError = kNoMemory;
    return false;
  }
  std::strcpy(newPath, path);
  std::free(gStore.files[tempIndex].path);
  gStore.files[tempIndex].path = newPath;
  const std::uint64_t newId = gStore.files[tempIndex].id;
  for (std::size_t i = 0; i < gStore.count; ++i) {
    if (gStore.files[i].id != newId && std::strcmp(gStore.files[i].path,
                                                   path) == 0) {
      removeAt(i);
      break;
    }
  }
  closeHandle(*original);
  *original = kNoHandle;
  return true;
}

void removeFile(const char* path) { memoryplatform::dropFile(path); }

PathKind pathKind(const char* path) {
  return memoryplatform::hasFile(path) ? PathKind::File : PathKind::Other;
}

char pathSeparator() { return '/'; }

bool expandsWildcards() { return false; }

Handle openDirectory(const char*, const char*) {
  gStore.lastError = kNoSuchFile;  // the store holds no folders
  return kNoHandle;
}

bool readDirectory(Handle, char*, std::size_t, PathKind*) {
  gStore.lastError = kNoError;
  return false;
}

void closeDirectory(Handle) {}

}  // namespace platform

// FakePlatform.cpp - an in-memory platform layer for the unit tests.
//
// Implements every function of runtime/Platform.h over the state declared
// in FakePlatform.h. Formatting and text comparison are those of
// runtime/CLibrary.cpp, error texts come from a small table, and nothing
// touches the real console, file system or heap bookkeeping of the process.
#include "FakePlatform.h"

#include <csetjmp>  // catchExit: exitProcess jumps back to the test
#include <cstdio>   // snprintf
#include <cstdlib>  // calloc, free, abort
#include <cstring>
#include <set>

namespace fake {

namespace {

State gState;
std::set<void*> gBlocks;

// An open file: its path and position.
struct OpenFile {
  std::string path;
  std::uint64_t position;
  bool forWriting;
};
std::map<platform::Handle, OpenFile> gOpen;
platform::Handle gNextFile = kFirstFile;

std::jmp_buf* gExitJump = nullptr;
std::uint32_t gExitCode = 0;

struct ErrorText {
  std::uint32_t code;
  const char* text;
};

// One-line system texts as FormatMessageA gives them with
// FORMAT_MESSAGE_MAX_WIDTH_MASK: the line break became a trailing blank in
// some of them.
const ErrorText kErrorTexts[] = {
    {kErrorFileNotFound, "The system cannot find the file specified."},
    {kErrorAccessDenied, "Access is denied. "},
    {kErrorSeek, "The drive cannot locate a specific area or track on the "
                 "disk.  "},
    {kErrorWriteFault, "The system cannot write to the specified device."},
    {kErrorHandleEof, "Reached the end of the file."},
    {kErrorDiskFull, "There is not enough space on the disk. "},
    {kErrorFileTooLarge,
     "The file size exceeds the limit allowed and cannot be saved. "},
};

}  // namespace

State& state() { return gState; }

void reset() {
  for (void* block : gBlocks) std::free(block);
  gBlocks.clear();
  gOpen.clear();
  gNextFile = kFirstFile;
  gState = State();
}

unsigned liveBlocks() { return static_cast<unsigned>(gBlocks.size()); }

unsigned openFiles() { return static_cast<unsigned>(gOpen.size()); }

void addFile(const std::string& path, const std::string& bytes,
             bool readOnly) {
  static std::uint64_t identities = 0;
  File file;
  file.bytes = bytes;
  file.readOnly = readOnly;
  file.identity = ++identities;
  gState.files[path] = file;
}

long long catchExit(void (*body)(void*), void* context) {
  std::jmp_buf jump;
  std::jmp_buf* const outer = gExitJump;
  gExitJump = &jump;
  long long result = -1;
  if (setjmp(jump) == 0) {
    body(context);
  } else {
    result = gExitCode;
  }
  gExitJump = outer;
  return result;
}

}  // namespace fake

namespace platform {

using fake::gState;

const char* processCommandLine() { return gState.commandLine; }

void exitProcess(std::uint32_t code) {
  if (fake::gExitJump == nullptr) std::abort();  // a test forgot catchExit
  fake::gExitCode = code;
  std::longjmp(*fake::gExitJump, 1);
}

void startProcess() { gState.processStarted = true; }

bool acquireStdHandles(Handle* input, Handle* output, Handle* error) {
  if (!gState.stdHandlesUsable) return false;
  if (input != nullptr) *input = fake::kInput;
  if (output != nullptr) *output = fake::kOutput;
  if (error != nullptr) *error = fake::kError;
  return true;
}

void closeHandle(Handle handle) {
  if (handle == kNoHandle) return;
  if (handle == fake::kInput || handle == fake::kOutput ||
      handle == fake::kError) {
    gState.closedStreams.push_back(handle);
    return;
  }
  if (fake::gOpen.erase(handle) == 1) {
    ++gState.closes;
  } else {
    ++gState.badCloses;
  }
}

bool isTerminal(Handle handle) {
  return (handle == fake::kOutput && gState.outputIsTerminal) ||
         (handle == fake::kError && gState.errorIsTerminal);
}

std::size_t systemErrorText(std::uint32_t code, char* buffer,
                            std::size_t room) {
  for (const fake::ErrorText& entry : fake::kErrorTexts) {
    if (entry.code != code) continue;
    const std::size_t length = std::strlen(entry.text);
    if (length + 1 > room) break;  // FormatMessageA fails when cut
    std::memcpy(buffer, entry.text, length + 1);
    return length;
  }
  // Like FormatMessageA, a failure leaves its own last error behind
  // (ERROR_MR_MID_NOT_FOUND), which describeError must not pass on.
  gState.lastError = 317;
  return 0;
}

std::uint32_t lastError() { return gState.lastError; }

void setLastError(std::uint32_t code) { gState.lastError = code; }

bool versionSupported() { return gState.versionSupported; }

void* allocZeroed(std::size_t size) {
  ++gState.allocCalls;
  gState.allocSizes.push_back(size);
  if (size > gState.allocLimit || gState.allocCalls == gState.failAllocCall) {
    gState.lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return nullptr;
  }
  // One byte more for size 0, so every block is a distinct pointer.
  void* block = std::calloc(1, size == 0 ? 1 : size);
  if (block == nullptr) std::abort();
  fake::gBlocks.insert(block);
  ++gState.allocations;
  return block;
}

void freeBlock(void* block) {
  if (block == nullptr) return;
  if (fake::gBlocks.erase(block) == 1) {
    ++gState.frees;
    std::free(block);
  } else {
    ++gState.badFrees;
  }
}

Handle openFile(const char* path, bool forWriting) {
  gState.lastOpenPath = path;
  gState.lastOpenForWriting = forWriting;
  if (gState.openError != 0) {
    gState.lastError = gState.openError;
    return kNoHandle;
  }
  auto found = gState.files.find(path);
  if (found == gState.files.end()) {
    gState.lastError = fake::kErrorFileNotFound;
    return kNoHandle;
  }
  if (forWriting && found->second.readOnly) {
    gState.lastError = fake::kErrorAccessDenied;
    return kNoHandle;
  }
  const Handle handle = fake::gNextFile++;
  fake::gOpen[handle] = fake::OpenFile{path, 0, forWriting};
  ++gState.opens;
  return handle;
}

SizeResult fileSize(Handle file, std::uint32_t* size) {
  auto open = fake::gOpen.find(file);
  if (open == fake::gOpen.end()) std::abort();  // the code lost its handle
  switch (gState.sizeMode) {
    case fake::SizeMode::Failed:
      gState.lastError = gState.sizeError;
      return SizeResult::Failed;
    case fake::SizeMode::TooLarge:
      return SizeResult::TooLarge;
    case fake::SizeMode::Real:
      break;
  }
  *size = static_cast<std::uint32_t>(gState.files[open->second.path].bytes.size());
  return SizeResult::Ok;
}

bool readAt(Handle file, std::uint32_t offset, void* buffer,
            std::uint32_t size) {
  auto open = fake::gOpen.find(file);
  if (open == fake::gOpen.end()) std::abort();
  ++gState.reads;
  if (gState.readError != 0) {
    gState.lastError = gState.readError;
    return false;
  }
  std::string& bytes = gState.files[open->second.path].bytes;
  open->second.position = offset;
  std::uint64_t available =
      offset < bytes.size() ? bytes.size() - offset : 0;
  if (gState.readShortBy != 0) {
    available = available > gState.readShortBy ? available - gState.readShortBy
                                               : 0;
  }
  const std::uint64_t count = available < size ? available : size;
  std::memcpy(buffer, bytes.data() + offset, static_cast<std::size_t>(count));
  open->second.position += count;
  // Once the whole file is read, another process may cut or grow it.
  if (gState.sizeAfterRead >= 0 && offset + count >= bytes.size()) {
    bytes.resize(static_cast<std::size_t>(gState.sizeAfterRead), '\0');
    ++gState.files[open->second.path].written;
  }
  if (count < size) {
    gState.lastError = fake::kErrorHandleEof;
    return false;
  }
  return true;
}

bool seekToStart(Handle file) {
  auto open = fake::gOpen.find(file);
  if (open == fake::gOpen.end()) std::abort();
  if (gState.seekError != 0) {
    gState.lastError = gState.seekError;
    return false;
  }
  open->second.position = 0;
  return true;
}

bool writeLimitAllows(std::uint64_t end) {
  if (end <= gState.writeLimit) return true;
  gState.lastError = fake::kErrorFileTooLarge;
  return false;
}

bool writeBytes(Handle handle, const void* bytes, std::uint32_t size,
                std::uint32_t* written) {
  const char* data = static_cast<const char*>(bytes);
  *written = 0;
  auto open = fake::gOpen.find(handle);
  if (open == fake::gOpen.end()) {
    // A stream: everything arrives, unless the stream is set to fail.
    const std::uint32_t failure =
        handle == fake::kOutput  ? gState.outputWriteError
        : handle == fake::kError ? gState.errorWriteError
                                 : 0;
    if (failure != 0) {
      gState.lastError = failure;
      return false;
    }
    std::string* sink = handle == fake::kOutput  ? &gState.output
                        : handle == fake::kError ? &gState.error
                                                 : &gState.elsewhere;
    sink->append(data, size);
    *written = size;
    return true;
  }
  ++gState.fileWriteCalls;
  const bool faulty =
      gState.faultyWrites == 0 || gState.fileWriteCalls <= gState.faultyWrites;
  const std::uint32_t shortBy = faulty ? gState.writeShortBy : 0;
  const std::uint32_t failure = faulty ? gState.writeError : 0;
  if (failure != 0 && shortBy == 0) {
    gState.lastError = failure;
    return false;
  }
  if (!open->second.forWriting) {
    gState.lastError = fake::kErrorAccessDenied;
    return false;
  }
  const std::uint32_t count = shortBy < size ? size - shortBy : 0;
  std::string& file = gState.files[open->second.path].bytes;
  const std::size_t at = static_cast<std::size_t>(open->second.position);
  if (file.size() < at + count) file.resize(at + count, '\0');
  file.replace(at, count, data, count);
  gState.fileWrites.push_back(
      fake::FileWrite{open->second.path, open->second.position,
                      std::string(data, count)});
  open->second.position += count;
  *written = count;
  // With both faults the write stops after count bytes with the error.
  if (failure != 0) {
    gState.lastError = failure;
    return false;
  }
  return true;
}

bool fileIdentity(Handle file, FileIdentity* identity) {
  auto open = fake::gOpen.find(file);
  if (open == fake::gOpen.end()) std::abort();
  const fake::File& found = gState.files[open->second.path];
  *identity = FileIdentity{1, found.identity, found.written, found.written};
  return true;
}

bool pathHasIdentity(const char* path, const FileIdentity& identity) {
  auto found = gState.files.find(path);
  return found != gState.files.end() && !gState.identityChanges &&
         identity.volume == 1 && found->second.identity == identity.index;
}

bool resolveLinks(const char* path, Handle file, char* target) {
  if (fake::gOpen.find(file) == fake::gOpen.end()) std::abort();
  if (gState.linkError != 0) {
    gState.lastError = gState.linkError;
    return false;
  }
  const std::size_t length = std::strlen(path);
  if (length >= kTempPathSize) std::abort();
  std::memcpy(target, path, length + 1);
  return true;
}

Handle createTempBeside(const char* path, Handle original, char* tempPath) {
  if (fake::gOpen.find(original) == fake::gOpen.end()) std::abort();
  if (gState.tempError != 0) {
    gState.lastError = gState.tempError;
    return kNoHandle;
  }
  const std::string name = std::string(path) + ".tmp";
  if (name.size() >= kTempPathSize || gState.files.count(name) != 0)
    std::abort();  // the fake keeps to short, fresh names
  std::memcpy(tempPath, name.c_str(), name.size() + 1);
  fake::addFile(name, "");
  const Handle handle = fake::gNextFile++;
  fake::gOpen[handle] = fake::OpenFile{name, 0, true};
  return handle;
}

bool flushFile(Handle file) {
  auto open = fake::gOpen.find(file);
  if (open == fake::gOpen.end()) std::abort();
  const std::string& path = open->second.path;
  // The file a temporary one replaces: its name without ".tmp".
  if (gState.rewrittenAtFlush && path.size() > 4 &&
      path.compare(path.size() - 4, 4, ".tmp") == 0) {
    auto original = gState.files.find(path.substr(0, path.size() - 4));
    if (original != gState.files.end()) ++original->second.written;
  }
  if (gState.flushError == 0) return true;
  gState.lastError = gState.flushError;
  return false;
}

bool replaceFile(const char* tempPath, const char* path, Handle* original) {
  closeHandle(*original);
  *original = kNoHandle;
  if (gState.replaceError != 0) {
    gState.lastError = gState.replaceError;
    return false;
  }
  auto temp = gState.files.find(tempPath);
  if (temp == gState.files.end()) std::abort();
  gState.files[path] = temp->second;
  gState.files.erase(tempPath);
  ++gState.replaces;
  return true;
}

void removeFile(const char* path) { gState.files.erase(path); }

// Folders are implied by the files' paths: "a/b/c" makes "a" and "a/b"
// folders. A folder being read holds its entries, found when it was opened.
namespace {
struct OpenDirectory {
  std::vector<std::pair<std::string, PathKind>> entries;
  std::size_t next = 0;
};
std::map<Handle, OpenDirectory> gDirectories;
Handle gNextDirectory = 0x40000;
}  // namespace

PathKind pathKind(const char* path) {
  const std::string name = path;
  if (fake::gState.files.count(name) != 0) return PathKind::File;
  for (const auto& file : fake::gState.files) {
    if (file.first.compare(0, name.size() + 1, name + "/") == 0)
      return PathKind::Directory;
  }
  return PathKind::Other;
}

char pathSeparator() { return '/'; }

bool expandsWildcards() { return false; }

Handle openDirectory(const char* directory, const char* pattern) {
  const std::string prefix =
      directory[0] == '\0' ? std::string() : std::string(directory) + "/";
  if (pattern != nullptr ||
      (!prefix.empty() && pathKind(directory) != PathKind::Directory)) {
    fake::gState.lastError = fake::kErrorFileNotFound;
    return kNoHandle;
  }
  OpenDirectory opened;
  for (const auto& file : fake::gState.files) {
    if (file.first.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = file.first.substr(prefix.size());
    const std::size_t slash = rest.find('/');
    const std::string name = rest.substr(0, slash);
    const PathKind kind =
        slash == std::string::npos ? PathKind::File : PathKind::Directory;
    if (opened.entries.empty() || opened.entries.back().first != name)
      opened.entries.emplace_back(name, kind);
  }
  const Handle handle = gNextDirectory++;
  gDirectories[handle] = opened;
  return handle;
}

bool readDirectory(Handle directory, char* name, std::size_t room,
                   PathKind* kind) {
  OpenDirectory& opened = gDirectories.at(directory);
  fake::gState.lastError = 0;
  while (opened.next < opened.entries.size()) {
    const auto& entry = opened.entries[opened.next++];
    if (entry.first.size() + 1 > room) continue;
    std::memcpy(name, entry.first.c_str(), entry.first.size() + 1);
    *kind = entry.second;
    return true;
  }
  return false;
}

void closeDirectory(Handle directory) { gDirectories.erase(directory); }

}  // namespace platform

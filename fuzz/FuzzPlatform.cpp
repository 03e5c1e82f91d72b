// FuzzPlatform.cpp - the platform layer of the fuzz targets: only in-memory
// code, no system calls beyond the C library's heap and formatting.
//
// Streams are string sinks, the one file is the fuzz input (or absent), and
// each call checks what a real system would only suffer: bad sizes, use of
// closed handles, reads past the end of the file. See FuzzPlatform.h.
#include "fuzz/FuzzPlatform.h"

#include <cstdarg>
#include <cstdio>   // vsnprintf, snprintf, fprintf
#include <cstdlib>  // calloc, free, abort
#include <cstring>

#include "runtime/Platform.h"

namespace fuzzplatform {

namespace {

constexpr platform::Handle kInputHandle = 1;
constexpr platform::Handle kOutputHandle = 2;
constexpr platform::Handle kErrorHandle = 3;
constexpr platform::Handle kFileHandle = 4;
constexpr platform::Handle kTempHandle = 5;

// The longest whole message: 1021 characters of text and CR LF.
constexpr std::size_t kLongestMessage = 1023;

struct Internal {
  Settings settings;
  Observed observed;
  bool outputHeld = false;
  bool errorHeld = false;
  bool inputHeld = false;
  std::uint32_t position = 0;  // file position
  unsigned allocCalls = 0;
  unsigned sizeCalls = 0;
  unsigned fileWrites = 0;
  std::uint32_t lastError = 0;
};

Internal& state() {
  static Internal instance;
  return instance;
}

bool faultIs(Fault fault) { return state().settings.fault == fault; }

// Checks one message written to a stream and appends it to its sink.
void acceptMessage(std::string& sink, unsigned& lines, const unsigned char* data,
                   std::uint32_t size, bool unbounded = false) {
  check(size >= 2 && (unbounded || size <= kLongestMessage),
        "message size out of range");
  check(data[size - 2] == '\r' && data[size - 1] == '\n',
        "message does not end in CR LF");
  check(std::memchr(data, 0, size) == nullptr, "NUL inside a message");
  sink.append(reinterpret_cast<const char*>(data), size);
  ++lines;
}

// True when format uses only the conversions the tool is allowed.
bool formatAllowed(const char* format) {
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '5') ++p;  // "%5u"
    if (*p == 'u') continue;
    if (p[-1] == '%' && (*p == 's' || *p == 'c')) continue;
    return false;
  }
  return true;
}

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

Settings& settings() { return state().settings; }
const Observed& observed() { return state().observed; }

void reset() {
  Internal& s = state();
  s = Internal();
}

void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
  std::abort();
}

}  // namespace fuzzplatform

namespace platform {

using fuzzplatform::check;
using fuzzplatform::Fault;
using fuzzplatform::faultIs;
using fuzzplatform::state;

const char* processCommandLine() { return nullptr; }

void exitProcess(std::uint32_t) {
  fuzzplatform::fail("the platform-free code ended the process");
}

void startProcess() {}

bool acquireStdHandles(Handle* input, Handle* output, Handle* error) {
  if (faultIs(Fault::NoStdHandles)) return false;
  auto& s = state();
  if (input != nullptr) {
    *input = fuzzplatform::kInputHandle;
    s.inputHeld = true;
  }
  if (output != nullptr) {
    *output = fuzzplatform::kOutputHandle;
    s.outputHeld = true;
  }
  if (error != nullptr) {
    *error = fuzzplatform::kErrorHandle;
    s.errorHeld = true;
  }
  s.observed.streamsHeld = s.outputHeld || s.errorHeld;
  return true;
}

void closeHandle(Handle handle) {
  auto& s = state();
  switch (handle) {
    case kNoHandle:
      return;
    case fuzzplatform::kInputHandle:
      check(s.inputHeld, "input stream closed twice");
      s.inputHeld = false;
      break;
    case fuzzplatform::kOutputHandle:
      check(s.outputHeld, "output stream closed twice");
      s.outputHeld = false;
      break;
    case fuzzplatform::kErrorHandle:
      check(s.errorHeld, "error stream closed twice");
      s.errorHeld = false;
      break;
    case fuzzplatform::kFileHandle:
      check(s.observed.fileHeld, "file closed twice");
      s.observed.fileHeld = false;
      break;
    case fuzzplatform::kTempHandle:
      check(s.observed.tempHeld, "temporary file closed twice");
      s.observed.tempHeld = false;
      break;
    default:
      fuzzplatform::fail("closing an unknown handle");
  }
  s.observed.streamsHeld = s.outputHeld || s.errorHeld;
}

bool isTerminal(Handle handle) {
  return handle == fuzzplatform::kOutputHandle &&
         state().settings.outputIsTerminal;
}

std::size_t formatTextV(char* buffer, std::size_t capacity, const char* format,
                        va_list args) {
  check(capacity >= 1, "format buffer without room");
  check(fuzzplatform::formatAllowed(format), "format with a conversion "
                                             "the tool does not use");
  buffer[0] = '\0';
  std::vsnprintf(buffer, capacity, format, args);
  buffer[capacity - 1] = '\0';
  return std::strlen(buffer);
}

std::size_t formatErrorPrefix(char* buffer, const char* customer,
                              std::uint32_t facility, std::uint32_t number) {
  const int length =
      std::snprintf(buffer, 32, "%s%u/%u - ", customer, facility, number);
  check(length > 0 && length < 32, "error prefix does not fit");
  return static_cast<std::size_t>(length);
}

std::size_t systemErrorText(std::uint32_t code, char* buffer,
                            std::size_t room) {
  // One code with a text (ending in the blank of a removed line break), the
  // rest without, so both paths of describeError are taken.
  static const char kText[] = "The system cannot find the file specified. ";
  if (code != fuzzplatform::kMissingFileCode) return 0;
  if (sizeof kText > room) return 0;
  std::memcpy(buffer, kText, sizeof kText);
  return sizeof kText - 1;
}

std::uint32_t lastError() { return state().lastError; }

void setLastError(std::uint32_t code) { state().lastError = code; }

bool versionSupported() { return !faultIs(Fault::UnsupportedVersion); }

void* allocZeroed(std::size_t size) {
  auto& s = state();
  ++s.allocCalls;
  if ((s.allocCalls == 1 && faultIs(Fault::FirstAllocFails)) ||
      (s.allocCalls == 2 && faultIs(Fault::SecondAllocFails))) {
    s.lastError = 8;  // not enough memory
    return nullptr;
  }
  // An exact-size block: AddressSanitizer reports any access beyond it.
  void* block = std::calloc(1, size);
  check(block != nullptr, "out of memory in the fuzz process");
  ++s.observed.liveBlocks;
  return block;
}

void freeBlock(void* block) {
  if (block == nullptr) return;
  --state().observed.liveBlocks;
  std::free(block);
}

bool equalTexts(const char* a, std::size_t lengthA, const char* b,
                std::size_t lengthB, bool ignoreCase) {
  if (lengthA != lengthB) return false;
  for (std::size_t i = 0; i < lengthA; ++i) {
    char x = a[i], y = b[i];
    if (ignoreCase) {
      x = fuzzplatform::asciiLower(x);
      y = fuzzplatform::asciiLower(y);
    }
    if (x != y) return false;
  }
  return true;
}

Handle openFile(const char* path, bool forWriting) {
  auto& s = state();
  const std::size_t pathLength = std::strlen(path);
  check(pathLength > 0 && pathLength < 260, "open with a bad path length");
  check(!s.observed.fileHeld, "a second file opened while one is held");
  if (!s.settings.serveFile) {
    s.lastError = fuzzplatform::kMissingFileCode;
    return kNoHandle;
  }
  if (faultIs(Fault::OpenFails)) {
    s.lastError = fuzzplatform::kOpenErrorCode;
    return kNoHandle;
  }
  ++s.observed.opens;
  s.observed.fileHeld = true;
  s.observed.openedForWriting = forWriting;
  s.position = 0;
  return fuzzplatform::kFileHandle;
}

SizeResult fileSize(Handle file, std::uint32_t* size) {
  auto& s = state();
  check(file == fuzzplatform::kFileHandle && s.observed.fileHeld,
        "size of a file not held");
  if (faultIs(Fault::SizeFails)) {
    s.lastError = fuzzplatform::kIoErrorCode;
    return SizeResult::Failed;
  }
  if (faultIs(Fault::SizeTooLarge)) return SizeResult::TooLarge;
  ++s.sizeCalls;
  *size = s.settings.fileSize;
  if (s.sizeCalls > 1 && faultIs(Fault::SizeChanges)) *size /= 2;
  return SizeResult::Ok;
}

bool readAt(Handle file, std::uint32_t offset, void* buffer,
            std::uint32_t size) {
  auto& s = state();
  check(file == fuzzplatform::kFileHandle && s.observed.fileHeld,
        "read from a file not held");
  if (faultIs(Fault::ReadFails)) {
    s.lastError = fuzzplatform::kIoErrorCode;
    return false;
  }
  const bool inside =
      static_cast<std::uint64_t>(offset) + size <= s.settings.fileSize;
  // A file said to be 4 GiB or more has more than the served bytes.
  if (!inside && faultIs(Fault::SizeTooLarge)) {
    s.lastError = fuzzplatform::kIoErrorCode;
    return false;
  }
  check(inside, "read past the end of the file");
  if (size != 0) std::memcpy(buffer, s.settings.file + offset, size);
  s.position = offset + size;
  return true;
}

bool seekToStart(Handle file) {
  auto& s = state();
  check(file == fuzzplatform::kFileHandle && s.observed.fileHeld,
        "seek in a file not held");
  if (faultIs(Fault::SeekFails)) {
    s.lastError = fuzzplatform::kIoErrorCode;
    return false;
  }
  s.position = 0;
  return true;
}

bool writeLimitAllows(std::uint64_t end) {
  check(end != 0, "a write limit asked for nothing");
  if (!faultIs(Fault::WriteLimited)) return true;
  state().lastError = fuzzplatform::kLimitErrorCode;
  return false;
}

bool writeBytes(Handle handle, const void* bytes, std::uint32_t size,
                std::uint32_t* written) {
  auto& s = state();
  const auto* data = static_cast<const unsigned char*>(bytes);
  *written = 0;
  if (handle == fuzzplatform::kTempHandle) {
    check(s.observed.tempHeld, "write to a temporary file not held");
    s.observed.temp.append(static_cast<const char*>(bytes), size);
    *written = size;
    return true;
  }
  switch (handle) {
    case fuzzplatform::kOutputHandle:
      check(s.outputHeld, "write to an output stream not held");
      check(s.observed.failedOutputWrites == 0,
            "output written after a failed write");
      if (faultIs(Fault::OutputFails)) {
        ++s.observed.failedOutputWrites;
        s.lastError = fuzzplatform::kIoErrorCode;
        return false;
      }
      fuzzplatform::acceptMessage(s.observed.output, s.observed.outputLines,
                                  data, size, s.settings.longRows);
      break;
    case fuzzplatform::kErrorHandle:
      check(s.errorHeld, "write to an error stream not held");
      fuzzplatform::acceptMessage(s.observed.error, s.observed.errorLines,
                                  data, size);
      break;
    case fuzzplatform::kFileHandle: {
      check(s.observed.fileHeld, "write to a file not held");
      check(s.observed.openedForWriting, "write to a file opened to read");
      ++s.fileWrites;
      if (faultIs(Fault::WriteFails) ||
          (faultIs(Fault::RestoreFails) && s.fileWrites > 1)) {
        s.lastError = fuzzplatform::kIoErrorCode;
        return false;
      }
      std::uint32_t stored = size;
      if ((faultIs(Fault::ShortWrite) || faultIs(Fault::RestoreFails)) &&
          s.fileWrites == 1)
        stored = size / 2;
      s.observed.writes.push_back(
          {s.position, std::vector<unsigned char>(data, data + stored)});
      s.position += stored;
      *written = stored;
      return true;
    }
    default:
      fuzzplatform::fail("write to an unknown or absent handle");
  }
  *written = size;
  return true;
}

bool fileIdentity(Handle file, FileIdentity* identity) {
  check(file == fuzzplatform::kFileHandle && state().observed.fileHeld,
        "identity of a file not held");
  *identity = FileIdentity{1, 2, 3, 4};
  return true;
}

bool pathHasIdentity(const char*, const FileIdentity& identity) {
  return identity.volume == 1 && identity.index == 2;
}

bool resolveLinks(const char* path, Handle file, char* target) {
  check(file == fuzzplatform::kFileHandle && state().observed.fileHeld,
        "links followed for a file not held");
  const std::size_t length = std::strlen(path);
  check(length < kTempPathSize, "a path longer than its room");
  std::memcpy(target, path, length + 1);
  return true;
}

Handle createTempBeside(const char*, Handle original, char* tempPath) {
  auto& s = state();
  check(original == fuzzplatform::kFileHandle && s.observed.fileHeld,
        "a temporary file beside a file not held");
  check(!s.observed.tempHeld && s.observed.temp.empty(),
        "a second temporary file");
  std::memcpy(tempPath, "fuzz.tmp", 9);
  s.observed.tempHeld = true;
  return fuzzplatform::kTempHandle;
}

bool flushFile(Handle file) {
  check(file == fuzzplatform::kTempHandle && state().observed.tempHeld,
        "flush of a file not held");
  return true;
}

bool replaceFile(const char*, const char*, Handle* original) {
  auto& s = state();
  check(!s.observed.tempHeld, "a temporary file put in place while open");
  closeHandle(*original);
  *original = kNoHandle;
  s.observed.replaced = true;
  return true;
}

void removeFile(const char*) { state().observed.tempRemoved = true; }

// The one file is served under any path; there are no folders.
PathKind pathKind(const char*) {
  return state().settings.serveFile ? PathKind::File : PathKind::Other;
}

char pathSeparator() { return '/'; }

bool expandsWildcards() { return false; }

Handle openDirectory(const char*, const char*) {
  state().lastError = fuzzplatform::kMissingFileCode;
  return kNoHandle;
}

bool readDirectory(Handle, char*, std::size_t, PathKind*) {
  fuzzplatform::fail("a folder read that was never opened");
  return false;
}

void closeDirectory(Handle) {}

}  // namespace platform

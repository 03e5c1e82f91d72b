// FakePlatform.h - steering of the in-memory platform layer the unit tests
// link instead of PlatformWin32.cpp or PlatformPosix.cpp.
//
// Every function of runtime/Platform.h works on the state below: the two
// standard streams are captured as byte strings, files live in a map by
// path, and each step can be made to fail with a chosen last-error code.
// Counters let a test check that every block and every file handle it made
// the code under test acquire was released again.
#ifndef SETUPHDR_TESTS_UNIT_FAKEPLATFORM_H
#define SETUPHDR_TESTS_UNIT_FAKEPLATFORM_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runtime/Platform.h"

namespace fake {

// Handles the fake gives out for the standard streams. File handles start
// at kFirstFile and grow with every open.
constexpr platform::Handle kInput = 0x11;
constexpr platform::Handle kOutput = 0x12;
constexpr platform::Handle kError = 0x13;
constexpr platform::Handle kFirstFile = 0x100;

// Error codes with a text in the fake's table (Win32 numbering).
constexpr std::uint32_t kErrorFileNotFound = 2;   // "The system cannot ..."
constexpr std::uint32_t kErrorAccessDenied = 5;   // text ends in a space
constexpr std::uint32_t kErrorHandleEof = 38;     // "Reached the end ..."
constexpr std::uint32_t kErrorWriteFault = 29;    // "The system cannot write ..."
constexpr std::uint32_t kErrorSeek = 25;          // "The drive cannot locate ..."
constexpr std::uint32_t kErrorDiskFull = 112;     // "There is not enough ..."
constexpr std::uint32_t kErrorFileTooLarge = 223; // "The file size exceeds ..."
constexpr std::uint32_t kErrorNoText = 1234;      // no text in the table

enum class SizeMode { Real, Failed, TooLarge };

// One file held in memory.
struct File {
  std::string bytes;
  bool readOnly = false;
  std::uint64_t identity = 0;  // a new one for every file added
  std::uint64_t written = 0;   // moves with every write by another process
};

// One write to a file handle: where and what.
struct FileWrite {
  std::string path;
  std::uint64_t offset;
  std::string bytes;
};

struct State {
  // Standard streams.
  bool stdHandlesUsable = true;
  std::string output;          // bytes written to kOutput
  std::string error;           // bytes written to kError
  std::string elsewhere;       // bytes written to any other non-file handle
  std::vector<platform::Handle> closedStreams;  // in closing order
  bool outputIsTerminal = false;  // isTerminal of kOutput
  bool errorIsTerminal = false;   // isTerminal of kError
  std::uint32_t outputWriteError = 0;  // writes to kOutput fail, nothing kept
  std::uint32_t errorWriteError = 0;   // writes to kError fail, nothing kept

  // Runtime.
  bool versionSupported = true;
  std::uint32_t lastError = 0;

  // Heap blocks: a request above allocLimit fails, and so does the call
  // numbered failAllocCall (1 = the first; 0 = none).
  std::size_t allocLimit = static_cast<std::size_t>(-1);
  unsigned failAllocCall = 0;
  unsigned allocCalls = 0;
  unsigned allocations = 0;  // blocks handed out
  unsigned frees = 0;        // blocks given back (null not counted)
  unsigned badFrees = 0;     // frees of blocks the fake never gave out
  std::vector<std::size_t> allocSizes;

  // Process.
  const char* commandLine = nullptr;  // processCommandLine's result
  bool processStarted = false;        // startProcess was called

  // Files and their faults. A fault code of 0 means "no fault".
  std::map<std::string, File> files;
  std::uint32_t openError = 0;
  SizeMode sizeMode = SizeMode::Real;
  std::uint32_t sizeError = 0;     // lastError for SizeMode::Failed
  std::uint32_t readError = 0;     // readAt fails without reading
  std::uint32_t readShortBy = 0;   // readAt gets that many bytes fewer
  std::uint32_t seekError = 0;
  std::uint32_t writeError = 0;    // writeBytes to a file fails
  std::uint32_t writeShortBy = 0;  // writeBytes to a file writes fewer (and
                                   // then fails, when writeError is set)
  unsigned faultyWrites = 0;       // file writes the two faults above hit,
                                   // from the first (0: all of them)
  std::uint64_t writeLimit = ~std::uint64_t{0};  // writeLimitAllows bound
  long long sizeAfterRead = -1;    // once read, the file is cut or grown to
                                   // this size, as by another process
  bool rewrittenAtFlush = false;   // another process rewrites the file a
                                   // temporary one is to replace, keeping
                                   // its size, while that one is flushed
  std::uint32_t linkError = 0;     // resolveLinks fails
  std::uint32_t tempError = 0;     // createTempBeside fails
  std::uint32_t flushError = 0;    // flushFile fails
  std::uint32_t replaceError = 0;  // replaceFile fails (the old file stays)
  bool identityChanges = false;    // the path names another file by then
  unsigned reads = 0;              // readAt calls
  unsigned replaces = 0;           // files put in place
  unsigned opens = 0;              // successful opens
  unsigned closes = 0;             // closes of open file handles
  unsigned badCloses = 0;          // closes of unknown handles
  unsigned fileWriteCalls = 0;     // writeBytes calls on file handles
  bool lastOpenForWriting = false;
  std::string lastOpenPath;
  std::vector<FileWrite> fileWrites;
};

/// The fake's state; reset() brings it back to its defaults (and frees any
/// block still held, so one test's leak does not spill into the next).
State& state();
void reset();

/// Blocks and file handles handed out and not yet given back.
unsigned liveBlocks();
unsigned openFiles();

/// Adds a file at path with the given bytes.
void addFile(const std::string& path, const std::string& bytes,
             bool readOnly = false);

/// Runs body; when the code under test calls platform::exitProcess, control
/// comes back here and the code is returned. Returns -1 when body returned
/// without ending the process.
long long catchExit(void (*body)(void*), void* context);

}  // namespace fake

#endif

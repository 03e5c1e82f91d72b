// FuzzPlatform.h - control and observation of the in-memory platform layer
// that the fuzz targets link instead of the real one.
//
// The fake keeps everything in one process-wide record: what the next run
// is given (the file bytes, one injected fault) and what it did (the bytes
// written to each stream, the file writes, handles and blocks still held).
// Every observation that can be checked at the moment it happens is checked
// there, and a violation aborts, so the fuzzer stops on the first bad call:
// - a stream write is one whole message: 2 to 1023 bytes, no NUL, CR LF last;
// - a format uses only %s, %u, %c and %5u;
// - no handle is used after it is closed or closed twice;
// - nothing is written to the output stream after a write to it failed;
// - a file read never passes the end of the file.
#ifndef SETUPHDR_FUZZ_FUZZPLATFORM_H
#define SETUPHDR_FUZZ_FUZZPLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzplatform {

/// One failure the fake platform can be told to produce.
enum class Fault : std::uint8_t {
  None,
  NoStdHandles,        // acquireStdHandles fails
  UnsupportedVersion,  // versionSupported is false
  FirstAllocFails,     // the first allocZeroed of the run gives null
  SecondAllocFails,    // the second one does
  OpenFails,           // openFile fails with kOpenErrorCode
  SizeFails,           // fileSize gives Failed
  SizeTooLarge,        // fileSize gives TooLarge
  ReadFails,           // readAt fails
  SeekFails,           // seekToStart fails
  WriteFails,          // a file write fails with nothing written
  ShortWrite,          // the first file write stores half of its bytes
  WriteLimited,        // writeLimitAllows refuses the header
  SizeChanges,         // fileSize gives half the size after its first call
  OutputFails,         // every write to the output stream fails
  RestoreFails,        // ShortWrite, and every later file write fails
  Count
};

/// The error codes the fake reports. Only kMissingFileCode has a text.
constexpr std::uint32_t kMissingFileCode = 2;
constexpr std::uint32_t kOpenErrorCode = 32;
constexpr std::uint32_t kIoErrorCode = 0x2007001Fu;  // customer bit, no text
constexpr std::uint32_t kLimitErrorCode = 27;          // write limit passed

/// One write to the served file.
struct FileWrite {
  std::uint32_t position;
  std::vector<unsigned char> bytes;
};

/// What a run did, filled in by the fake.
struct Observed {
  std::string output;  // every byte written to the output stream
  std::string error;   // every byte written to the error stream
  unsigned outputLines = 0;
  unsigned errorLines = 0;
  unsigned failedOutputWrites = 0;  // writes to the output stream refused
  unsigned opens = 0;          // successful openFile calls
  bool openedForWriting = false;
  bool fileHeld = false;       // opened and not yet closed
  bool streamsHeld = false;    // acquired and not yet closed (either)
  std::vector<FileWrite> writes;
  long liveBlocks = 0;         // allocZeroed blocks not yet freed
  std::string temp;            // bytes written to a temporary file
  bool tempHeld = false;       // a temporary file open
  bool tempRemoved = false;    // removed again
  bool replaced = false;       // put in place of the served file
};

/// The next run's settings; reset() clears them and the observations.
struct Settings {
  const unsigned char* file = nullptr;  // served by openFile when serveFile
  std::uint32_t fileSize = 0;
  bool serveFile = false;
  Fault fault = Fault::None;
  bool outputIsTerminal = false;  // isTerminal of the output stream
  bool longRows = false;  // output lines may pass the message bound (rows)
};

Settings& settings();
const Observed& observed();

/// Forgets the previous run: no file, no fault, empty streams.
void reset();

/// Aborts with a message on stderr when a checked property does not hold.
[[noreturn]] void fail(const char* what);
inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

}  // namespace fuzzplatform

#endif

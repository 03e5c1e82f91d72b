// FuzzRun.cpp - fuzz target: a whole run, command line and file together,
// with one platform failure injected.
//
// Input: one fault byte, the argument text up to a NUL, then the bytes of
// the file that every open serves (no NUL: the file is empty). The fault
// byte modulo 16 picks a fuzzplatform::Fault; values past the last are no
// fault.
//
// Checked on every input, aborting on the first violation:
// - the exit code is one the tool has, with one error line for every
//   failure code and none for success;
// - no stream, file or heap block is held when the run ends;
// - the file is written at most once, only when opened for a change, only
//   when its header passes the check, only at offset 0 and only the 100
//   header bytes; a file that fails the check gives 103 and no write;
// - the written header is the original with exactly the fields that the
//   printed change lines announce (so no byte outside 20 to 47 differs);
// - a display prints exactly the report of the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/ExitCodes.h"
#include "app/Run.h"
#include "fuzz/FuzzOracle.h"
#include "fuzz/FuzzPlatform.h"
#include "header/HeaderReport.h"

using fuzzplatform::check;
using fuzzplatform::Fault;

namespace {

// Reads the change lines back into the request they announce. False when a
// line is not a change line or comes out of order.
bool parseChangeLines(const std::string& output, ChangeRequest* request) {
  *request = ChangeRequest{};
  int stage = 0;  // 1 after Arch, 2 after Min, 3 after Max
  std::size_t start = 0;
  while (start < output.size()) {
    const std::size_t end = output.find("\r\n", start);
    if (end == std::string::npos) return false;
    const std::string line = output.substr(start, end - start);
    start = end + 2;
    unsigned a = 0, b = 0, c = 0;
    if (std::sscanf(line.c_str(), "Arch set to %u (", &a) == 1 && stage < 1) {
      stage = 1;
      request->archGiven = true;
      request->arch = a;
    } else if (std::sscanf(line.c_str(), "Min ver set to %u.%u build %u", &a,
                           &b, &c) == 3 && stage < 2) {
      stage = 2;
      request->minVersionGiven = true;
      request->minVersion = {a, b, c};
    } else if (std::sscanf(line.c_str(), "Max ver set to %u.%u build %u", &a,
                           &b, &c) == 3 && stage < 3) {
      stage = 3;
      request->maxVersionGiven = true;
      request->maxVersion = {a, b, c};
    } else {
      return false;
    }
  }
  return stage != 0;
}

bool isExitCode(std::uint32_t code) {
  return code == kExitOk || code == kExitUsage || code == kExitCommandLine ||
         (code >= kExitNoMemory && code <= kExitWriteFailed) ||
         code == kExitNoStdHandles || code == kExitRuntimeFailed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0 || size > 0xFFFFFFFFu) return 0;
  const unsigned faultValue = data[0] % 16u;
  const Fault fault = faultValue < static_cast<unsigned>(Fault::Count)
                          ? static_cast<Fault>(faultValue)
                          : Fault::None;
  const auto* chars = reinterpret_cast<const char*>(data + 1);
  const std::size_t textLength = strnlen(chars, size - 1);
  std::size_t fileStart = 1 + textLength + 1;
  if (fileStart > size) fileStart = size;
  const std::size_t fileSize = size - fileStart;

  // Exact-size heap copies: the text with its NUL, the file as it is.
  auto* text = static_cast<char*>(std::malloc(textLength + 1));
  auto* file = static_cast<unsigned char*>(std::malloc(fileSize + 1));
  check(text != nullptr && file != nullptr, "out of memory in the fuzz process");
  std::memcpy(text, chars, textLength);
  text[textLength] = '\0';
  std::memcpy(file, data + fileStart, fileSize);

  fuzzplatform::reset();
  fuzzplatform::Settings& settings = fuzzplatform::settings();
  settings.file = file;
  settings.fileSize = static_cast<std::uint32_t>(fileSize);
  settings.serveFile = true;
  settings.fault = fault;
  const std::uint32_t result = runCommand(text);
  const fuzzplatform::Observed& seen = fuzzplatform::observed();

  // Resources and messages.
  check(isExitCode(result), "an exit code the tool does not have");
  check(!seen.streamsHeld && !seen.fileHeld && seen.liveBlocks == 0,
        "a run ended holding a stream, a file or a block");
  check(std::memcmp(file, data + fileStart, fileSize) == 0,
        "the served file bytes changed in place");
  if (result == kExitNoStdHandles) {
    check(fault == Fault::NoStdHandles, "1000 without a missing stream");
    check(seen.output.empty() && seen.error.empty(), "1000 with a message");
  } else if (result == kExitOk || result == kExitUsage) {
    check(seen.errorLines == 0, "success with an error line");
  } else {
    check(seen.errorLines == 1, "a failure without exactly one error line");
  }
  if (fault == Fault::UnsupportedVersion || fault == Fault::FirstAllocFails) {
    check(result == kExitRuntimeFailed &&
              seen.error == "Cannot initialize application\r\n",
          "a failed runtime start went on");
  }
  check(seen.opens <= 1, "the file was opened twice");
  check(seen.opens == 1 || result < kExitNoMemory || result > kExitWriteFailed ||
            (fault == Fault::OpenFails && result == kExitOpenFailed),
        "a file error without an opened file");

  // Writes: once, at 0, 100 bytes, after a passing check, for a change.
  const bool passes = oracle::headerPasses(file, fileSize);
  check(seen.writes.size() <= 1, "the file was written twice");
  if (!seen.writes.empty()) {
    const fuzzplatform::FileWrite& write = seen.writes[0];
    check(seen.openedForWriting, "a write without a change");
    check(passes, "a write to a file that fails the check");
    check(write.position == 0, "a write not at the start of the file");
    check(write.bytes.size() == (fault == Fault::ShortWrite ? 50u : 100u),
          "a write of other than the 100 header bytes");
  }
  const bool fileReached =
      seen.opens == 1 && fileSize != 0 && fault != Fault::SizeFails &&
      fault != Fault::SizeTooLarge && fault != Fault::ReadFails &&
      fault != Fault::SecondAllocFails;
  if (fileReached && !passes) {
    check(result == kExitBadHeader && seen.writes.empty() &&
              seen.outputLines == 0,
          "a file that fails the check was not refused");
  }
  if (fileReached && passes) {
    if (!seen.openedForWriting) {
      check(result == kExitOk && seen.output == oracle::report(file, fileSize),
            "the display differs from the report of the file");
    } else {
      // The change lines say what was asked; the write must be exactly that.
      ChangeRequest request;
      check(parseChangeLines(seen.output, &request) &&
                seen.output == oracle::changeLines(request),
            "a change without proper change lines");
      const bool written = fault != Fault::SeekFails && fault != Fault::WriteFails;
      check(written == !seen.writes.empty(), "a write missing or unexpected");
      check(result == (fault == Fault::SeekFails    ? kExitSeekFailed
                       : fault == Fault::WriteFails ||
                               fault == Fault::ShortWrite
                           ? kExitWriteFailed
                           : kExitOk),
            "a change ended with the wrong code");
      if (written) {
        unsigned char expected[100];
        std::memcpy(expected, file, sizeof expected);
        oracle::applyExpected(expected, request);
        const std::vector<unsigned char>& bytes = seen.writes[0].bytes;
        check(std::memcmp(bytes.data(), expected, bytes.size()) == 0,
              "the written header differs from the announced change");
      }
    }
  }

  std::free(text);
  std::free(file);
  return 0;
}

// FuzzRun.cpp - fuzz target: a whole run, command line and file together,
// with one platform failure injected.
//
// Input: one fault byte, the argument text up to a NUL, then the bytes of
// the file that every open serves (no NUL: the file is empty). The fault
// byte modulo 16 picks a fuzzplatform::Fault; values past the last are no
// fault. Its bit 4 makes the output stream a terminal.
//
// Checked on every input, aborting on the first violation:
// - the exit code is one the tool has, with one error line for every
//   failure code and none for success, plus a last one when output was
//   lost; a display that lost its output ends with 110;
// - no stream, file or heap block is held when the run ends;
// - the file is written only when opened for a change, only when its
//   header passes the check, only at offset 0 and only header bytes: once,
//   or twice when a short write is put back with the original bytes; a
//   file that fails the check gives 103 and no write;
// - afterwards the header is the original with exactly the fields that the
//   printed change lines announce, or (after a failure) the original, with
//   the exit code and error line of the fault;
// - a display prints exactly the report of the file, masked on a terminal;
// - a listing opens nothing for writing, writes nothing, and prints a
//   header row and rows of eleven fields in which no byte can break a line,
//   or with -json one object a line in printable ASCII, one for each error
//   line among them, with an exit code the display has.
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
#include "text/Scan.h"

using fuzzplatform::check;
using fuzzplatform::Fault;

namespace {

// Reads the change lines back into the request they announce. False when a
// line is not a change line or comes out of order.
bool parseChangeLines(const std::string& output, ChangeRequest* request) {
  *request = ChangeRequest{};
  int stage = 0;  // 1 after Arch, 2 after Min, 3 after Max, 4 after the list
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
    } else if (line == "Unsupported platforms cleared" && stage < 4) {
      stage = 4;
      request->clearPlatforms = true;
    } else {
      return false;
    }
  }
  return stage != 0;
}

bool isExitCode(std::uint32_t code) {
  return code == kExitOk || code == kExitUsage || code == kExitCommandLine ||
         (code >= kExitNoMemory && code <= kExitReplaceFailed) ||
         code == kExitOutputFailed || code == kExitListFailed ||
         code == kExitNoStdHandles ||
         code == kExitRuntimeFailed;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A change of a file that passed the check, under fault: the exit code and
// error line the fault gives, and the header afterwards (image, the first
// 100 bytes of file once the writes are applied) is the whole announced
// change or the original, never a mix, unless the undoing failed too.
void checkChange(Fault fault, std::uint32_t result,
                 const fuzzplatform::Observed& seen,
                 const unsigned char* file, const unsigned char* image,
                 bool outputLost) {
  // The change lines say what was asked, when they could be written.
  ChangeRequest request;
  check(outputLost || (parseChangeLines(seen.output, &request) &&
                       seen.output == oracle::changeLines(request)),
        "a change without proper change lines");

  // The code, the number of file writes and the first error line (its
  // start and its end: a short write leaves no error code of its own).
  std::uint32_t code = kExitWriteFailed;
  std::size_t writes = 0;
  const char* begins = "Cannot write file (";
  const char* ends = "); the file is unchanged\r\n";
  switch (fault) {
    case Fault::SeekFails:
      code = kExitSeekFailed;
      begins = "Cannot set file position (u7/31)\r\n";
      ends = "";
      break;
    case Fault::SizeChanges:
      code = kExitReadFailed;
      begins = "File changed while it was read\r\n";
      ends = "";
      break;
    case Fault::WriteLimited:
      begins = "Cannot write file (0/27); the file is unchanged\r\n";
      break;
    case Fault::WriteFails:
      begins = "Cannot write file (u7/31); the file is unchanged\r\n";
      break;
    case Fault::ShortWrite:
      writes = 2;
      break;
    case Fault::RestoreFails:
      writes = 1;
      ends = "); the header could not be restored\r\n";
      break;
    default:
      code = kExitOk;
      writes = 1;
      break;
  }
  check(result == code, "a change ended with the wrong code");
  check(seen.writes.size() == writes, "a write missing or unexpected");
  if (code != kExitOk) {
    const std::string error = seen.error.substr(0, seen.error.find('\n') + 1);
    check(error.compare(0, std::strlen(begins), begins) == 0 &&
              endsWith(error, ends),
          "a change failed with the wrong error line");
  }

  unsigned char expected[100];
  std::memcpy(expected, file, sizeof expected);
  if (!outputLost) oracle::applyExpected(expected, request);
  const unsigned char* whole = code == kExitOk ? expected : file;
  if (fault == Fault::RestoreFails) {
    // Half the new header stayed: the undoing itself failed.
    check(std::memcmp(image + 50, file + 50, 50) == 0,
          "a failed undoing wrote past the first write");
  } else if (code == kExitOk && outputLost) {
    check(std::memcmp(image, file, 20) == 0 &&
              std::memcmp(image + 48, file + 48, 46) == 0 &&
              std::memcmp(image + 96, file + 96, 4) == 0,
          "a change touched a byte outside 20 to 47 and 94 to 95");
  } else {
    check(std::memcmp(image, whole, sizeof expected) == 0,
          "the header is neither the announced change nor the original");
  }
}

// True when the argument text asks for the list action.
bool isListLine(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return text[0] == 'l' && (text[1] == '\0' || text[1] == ' ' ||
                            text[1] == '\t');
}

// True when the list's argument text asks for JSON: a word before the
// first path that starts with "-json", the list's one option (any other
// option ends the run as a command-line error).
bool asksForJson(const char* text) {
  const char* at = skipBlanks(text) + 1;  // behind the action letter
  for (;;) {
    at = skipBlanks(at);
    if (*at != '-') return false;
    if (std::strncmp(at, "-json", 5) == 0) return true;
    while (*at != '\0' && !isBlank(*at)) ++at;
  }
}

// The JSON form of a listing: no header row, one object a line in
// printable ASCII (every string escaped) ending in CR LF, each the object
// of a setup file or of a failure, one for each error line. Output that
// was lost ends the objects early.
void checkJsonListing(const fuzzplatform::Observed& seen, bool outputLost) {
  static const std::string kStart = "{\"path\": \"";
  static const std::string kFileEnd = ", \"xml\": null}";
  static const std::string kError = "\", \"error\": \"";
  static const std::string kExit = "\", \"exit\": ";
  unsigned failures = 0;
  for (std::size_t start = 0; start < seen.output.size();) {
    const std::size_t end = seen.output.find("\r\n", start);
    check(end != std::string::npos, "an object without its line end");
    const std::string line = seen.output.substr(start, end - start);
    start = end + 2;
    for (const char c : line)
      check(c >= 0x20 && c < 0x7F, "a byte outside printable ASCII");
    check(line.compare(0, kStart.size(), kStart) == 0,
          "a line that is not the object of a path");
    if (endsWith(line, kFileEnd)) continue;
    const std::size_t exit = line.rfind(kExit);
    check(exit != std::string::npos && line.find(kError) < exit &&
              line.back() == '}',
          "an object neither of a setup file nor of a failure");
    const unsigned long code =
        std::strtoul(line.c_str() + exit + kExit.size(), nullptr, 10);
    check(code == kExitNoMemory || code == kExitOpenFailed ||
              code == kExitReadFailed || code == kExitBadHeader ||
              code == kExitDamagedCabinet || code == kExitUnhandledCabinet ||
              code == kExitListFailed,
          "a failure's object with a code the display does not give");
    ++failures;
  }
  check(outputLost ? failures <= seen.errorLines
                   : failures == seen.errorLines,
        "not one failure's object per error line");
}

// A listing: rows of exactly eleven tab-separated fields ending in CR LF,
// the header row first, and no other control byte, or the JSON form;
// never a write.
void checkListing(std::uint32_t result, const fuzzplatform::Observed& seen,
                  bool outputLost, bool json) {
  static const std::string kHeader =
      "path\tmember\tarch\tarch name\tmin version\tmax version\t"
      "unsupported platforms\tsigned\tprograms\tapp name\tprovider\r\n";
  check(!seen.openedForWriting && seen.writes.empty() && seen.temp.empty(),
        "a listing opened a file for writing or wrote");
  if (result == kExitCommandLine || seen.output.empty()) return;
  if (json) {
    checkJsonListing(seen, outputLost);
    return;
  }
  if (outputLost) return;
  check(seen.output.compare(0, kHeader.size(), kHeader) == 0,
        "a listing without its header row");
  unsigned tabs = 0;
  for (std::size_t i = 0; i < seen.output.size(); ++i) {
    const auto byte = static_cast<unsigned char>(seen.output[i]);
    if (byte == '\t') {
      ++tabs;
    } else if (byte == '\r') {
      check(i + 1 < seen.output.size() && seen.output[i + 1] == '\n' &&
                tabs == 10,
            "a row that is not eleven fields and a line end");
      tabs = 0;
      ++i;
    } else {
      check(byte >= 0x20 && byte != 0x7F, "a control byte in a row");
    }
  }
  check(tabs == 0, "a row without its line end");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0 || size > 0xFFFFFFFFu) return 0;
  const unsigned faultValue = data[0] % 16u;
  const Fault fault = faultValue < static_cast<unsigned>(Fault::Count)
                          ? static_cast<Fault>(faultValue)
                          : Fault::None;
  const bool terminal = (data[0] & 0x10u) != 0;
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
  settings.outputIsTerminal = terminal;
  // A row holds whole names, which may pass the bound of a message line.
  const bool listing = isListLine(text);
  const bool json = listing && asksForJson(text);
  settings.longRows = listing;
  const std::uint32_t result = runCommand(text);
  const fuzzplatform::Observed& seen = fuzzplatform::observed();

  // Resources and messages. Output that could not be written adds one
  // error line of its own, the last one.
  const bool outputLost = seen.failedOutputWrites != 0;
  static const std::string kOutputLost = "Cannot write output (u7/31)\r\n";
  check(isExitCode(result), "an exit code the tool does not have");
  check(!seen.streamsHeld && !seen.fileHeld && seen.liveBlocks == 0,
        "a run ended holding a stream, a file or a block");
  check(std::memcmp(file, data + fileStart, fileSize) == 0,
        "the served file bytes changed in place");
  check(!outputLost || (fault == Fault::OutputFails && seen.output.empty()),
        "output lost without a failing stream");
  check(result != kExitOutputFailed || outputLost, "110 with all output");
  if (result == kExitNoStdHandles) {
    check(fault == Fault::NoStdHandles, "1000 without a missing stream");
    check(seen.output.empty() && seen.error.empty(), "1000 with a message");
  } else {
    const bool failed = result != kExitOk && result != kExitUsage &&
                        result != kExitOutputFailed;
    // A listing goes on after a file that fails, with a line for each.
    // Without a header row, the JSON form may meet failures before it
    // finds the output lost.
    const bool lines =
        listing && result == kExitListFailed
            ? seen.errorLines >= 1u + (outputLost ? 1u : 0u)
        : json && result == kExitOutputFailed
            ? seen.errorLines >= 1u
            : seen.errorLines == (failed ? 1u : 0u) + (outputLost ? 1u : 0u);
    check(lines, "not one error line per failure");
    check(!outputLost || endsWith(seen.error, kOutputLost),
          "lost output not reported last");
  }
  if (fault == Fault::UnsupportedVersion || fault == Fault::FirstAllocFails) {
    check(result == kExitRuntimeFailed &&
              seen.error == "Cannot initialize application\r\n",
          "a failed runtime start went on");
  }
  if (listing) {
    checkListing(result, seen, outputLost, json);
    std::free(text);
    std::free(file);
    return 0;
  }
  check(seen.opens <= 1, "the file was opened twice");
  check(seen.opens == 1 || result < kExitNoMemory || result > kExitWriteFailed ||
            (fault == Fault::OpenFails && result == kExitOpenFailed),
        "a file error without an opened file");

  // A cabinet is never written itself: a change goes to a temporary file
  // that either replaces it or is removed. Its content is the cabinet
  // target's to check.
  const bool cabinet = fileSize >= 4 && std::memcmp(file, "MSCF", 4) == 0;
  check(!seen.tempHeld && (seen.temp.empty() || seen.replaced ||
                           seen.tempRemoved),
        "a temporary file left behind");
  check(cabinet || seen.temp.empty(), "a temporary file for a setup file");
  check(!seen.replaced || (cabinet && result == kExitOk),
        "a replaced file without a successful cabinet change");
  // A setup file refuses -unsign before it is read.
  const bool refusedUnsign =
      result == kExitCommandLine &&
      seen.error == "Invalid option for a setup file\r\n";
  if (cabinet || refusedUnsign) {
    check(seen.writes.empty(), "a cabinet or a refused run written in place");
    std::free(text);
    std::free(file);
    return 0;
  }

  // Writes: the header at 0, after a passing check, for a change; and at
  // most one more, the same bytes of the original putting back a header
  // write that stopped short. image is the header once they are applied.
  const bool passes = oracle::headerPasses(file, fileSize);
  check(seen.writes.size() <= 2, "the file was written more than twice");
  unsigned char image[100];
  if (fileSize >= sizeof image) std::memcpy(image, file, sizeof image);
  for (const fuzzplatform::FileWrite& write : seen.writes) {
    check(seen.openedForWriting, "a write without a change");
    check(passes, "a write to a file that fails the check");
    check(write.position == 0, "a write not at the start of the file");
    check(write.bytes.size() <= sizeof image, "a write past the header");
    std::memcpy(image, write.bytes.data(), write.bytes.size());
  }
  if (seen.writes.size() == 2) {
    check(seen.writes[0].bytes.size() < 100 &&
              seen.writes[1].bytes.size() == seen.writes[0].bytes.size() &&
              std::memcmp(seen.writes[1].bytes.data(), file,
                          seen.writes[1].bytes.size()) == 0,
          "a second write that does not undo a short first one");
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
      check(outputLost
                ? result == kExitOutputFailed
                : result == kExitOk &&
                      seen.output == oracle::report(file, fileSize, terminal),
            "the display differs from the report of the file");
    } else {
      checkChange(fault, result, seen, file, image, outputLost);
    }
  }

  std::free(text);
  std::free(file);
  return 0;
}

// FuzzCommandLine.cpp - fuzz target: arbitrary text as the command line,
// through the action letter, the option reader and the scanning readers.
//
// The input up to its first NUL is the text (an exact-size heap copy with
// its NUL, so AddressSanitizer sees a read past it); the rest of the input
// feeds the comparison and the argv re-join. No file exists: an open fails.
// Checked on every input, aborting on the first violation:
// - a whole run ends with 1 (usage), 2 (one error line, nothing printed),
//   101 (the open failed, one error line) or, for a listing, 111 (the
//   header row, or with -json one object a path, and one "PATH: Cannot
//   open" line per path), and holds no stream or block;
// - readOptions succeeds with a path of 1 to 259 characters and fields that
//   fit the action, or fails with exactly one error line;
// - readToken, parseUnsigned, readVersionValue and readArchValue return
//   positions inside the text; parseUnsigned agrees with a plain model;
// - compareText agrees with a plain model;
// - joinArguments gives a text whose words read back as the arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/ExitCodes.h"
#include "app/Options.h"
#include "app/Run.h"
#include "fuzz/FuzzPlatform.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"
#include "text/Scan.h"

using fuzzplatform::check;

namespace {

// An exact-size heap copy of length characters and a NUL.
char* textCopy(const char* text, std::size_t length) {
  auto* copy = static_cast<char*>(std::malloc(length + 1));
  check(copy != nullptr, "out of memory in the fuzz process");
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

bool inside(const char* position, const char* text, std::size_t length) {
  return position >= text && position <= text + length;
}

void freshStreams() {
  fuzzplatform::reset();
  platform::acquireStdHandles(nullptr, &gConsole.output, &gConsole.error);
}

// One line on the error stream and nothing on the output stream.
void expectOneError(const char* what) {
  const fuzzplatform::Observed& seen = fuzzplatform::observed();
  check(seen.errorLines == 1 && seen.outputLines == 0, what);
}

void checkRun(const char* text) {
  fuzzplatform::reset();
  // A listing's JSON objects hold whole paths, escaped, which may pass the
  // bound of a message line.
  fuzzplatform::settings().longRows = *skipBlanks(text) == 'l';
  const std::uint32_t result = runCommand(text);
  const fuzzplatform::Observed& seen = fuzzplatform::observed();
  check(!seen.streamsHeld && !seen.fileHeld && seen.liveBlocks == 0,
        "a run ended holding a stream, a file or a block");
  const char* rest = skipBlanks(text);
  switch (result) {
    case kExitUsage:
      check(*rest == '\0', "usage shown for a text that is not blank");
      check(seen.errorLines == 0 && seen.outputLines > 0,
            "usage without its text or with an error");
      break;
    case kExitCommandLine:
      expectOneError("a command-line error without exactly one error line");
      break;
    case kExitOpenFailed:
      check(seen.errorLines == 1 && seen.outputLines == 0 &&
                seen.error.compare(0, 13, "Cannot open \"") == 0,
            "a failed open without its one error line");
      break;
    case kExitListFailed: {
      check(rest[0] == 'l', "111 for another action");
      const bool json = seen.output.compare(0, 1, "{") == 0;
      check(seen.errorLines >= 1 &&
                seen.outputLines == (json ? seen.errorLines : 1u),
            "a listing of missing files without its header row (or an "
            "object a path) and errors");
      // Each line names its path, then says the open failed.
      for (std::size_t start = 0; start < seen.error.size();) {
        const std::size_t end = seen.error.find("\r\n", start);
        check(end != std::string::npos &&
                  seen.error.find(": Cannot open \"", start) < end,
              "a listing error that is not a failed open");
        start = end + 2;
      }
      break;
    }
    default:
      fuzzplatform::fail("a run without a file ended with another code");
  }
}

void checkOptions(const char* text) {
  for (Action action : {Action::Display, Action::Change, Action::List}) {
    freshStreams();
    Command command;
    if (readOptions(action, text, &command)) {
      check(action != Action::List ||
                (command.paths != nullptr &&
                 inside(command.paths, text, std::strlen(text)) &&
                 *command.paths != '-'),
            "a listing without its paths, or with an option among them");
      check(action == Action::List || !command.json,
            "json for an action other than the list");
      const std::size_t pathLength = strnlen(command.path, kPathSize);
      check(pathLength > 0 && pathLength < kPathSize, "bad path length");
      check(command.action == action, "the action changed");
      const ChangeRequest& c = command.changes;
      const bool any = c.archGiven || c.minVersionGiven ||
                       c.maxVersionGiven || c.clearPlatforms || command.unsign;
      check(action == Action::Change ? any : !any,
            "fields that do not fit the action");
      check(fuzzplatform::observed().errorLines == 0 &&
                fuzzplatform::observed().outputLines == 0,
            "a command read with a message");
    } else {
      expectOneError("a command-line error without exactly one error line");
    }
  }
}

// parseUnsigned as described: digits 0-9, A-Z, a-z below radix; stop on
// the digit that takes the value past 32 bits, counting it in the value.
std::uint64_t modelParse(const char* text, unsigned radix, std::size_t* used) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (;; ++i) {
    const char c = text[i];
    unsigned digit = 99;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'Z') digit = static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'z') digit = static_cast<unsigned>(c - 'a' + 10);
    if (digit >= radix) break;
    value = value * radix + digit;
    if (value > 0xFFFFFFFFu) break;
  }
  *used = i;
  return value;
}

void checkScanners(const char* text, std::size_t length, std::uint8_t knob) {
  // readToken with a capacity and delimiter set chosen by the input.
  static const char* const kDelimiters[4] = {nullptr, " \t", "\"", ",;"};
  const std::size_t capacity = 1u + (knob % 64u) * 5u;
  char* word = static_cast<char*>(std::malloc(capacity));
  check(word != nullptr, "out of memory in the fuzz process");
  std::size_t wordLength = 0;
  const char* next =
      readToken(text, word, capacity, kDelimiters[knob % 4], &wordLength);
  check(next == nullptr || inside(next, text, length),
        "readToken returned a position outside the text");
  if (next != nullptr) {
    const std::size_t kept = std::strlen(word);
    check(kept == (wordLength < capacity - 1 ? wordLength : capacity - 1),
          "readToken kept the wrong number of characters");
    check(wordLength <= static_cast<std::size_t>(next - text),
          "readToken counted more characters than it passed");
  }
  std::free(word);

  // parseUnsigned against the model, in the tool's radix and one more.
  for (unsigned radix : {10u, 2u + knob % 35u}) {
    const char* end = nullptr;
    std::size_t used = 0;
    const std::uint64_t value = parseUnsigned(text, radix, &end);
    check(value == modelParse(text, radix, &used) && end == text + used,
          "parseUnsigned disagrees with its description");
  }

  freshStreams();
  VersionTriple version{};
  next = readVersionValue(text, &version);
  if (next != nullptr) {
    check(inside(next, text, length) && (*next == '\0' || isBlank(*next)),
          "a version value ended on a character other than a blank");
    check(fuzzplatform::observed().errorLines == 0, "version read with error");
  } else {
    expectOneError("a bad version value without exactly one error line");
  }

  freshStreams();
  std::uint32_t code = 0;
  next = readArchValue(text, &code);
  if (next != nullptr) {
    check(inside(next, text, length), "arch value position outside the text");
    check(fuzzplatform::observed().errorLines == 0, "arch read with error");
  } else {
    expectOneError("a bad arch value without exactly one error line");
  }
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

void checkCompare(const char* a, const char* b, std::uint8_t knob) {
  const bool ignoreCase = (knob & 1) != 0;
  const int count = (knob & 2) != 0 ? -1 : (knob >> 2);
  std::string x = a, y = b;
  if (count >= 0) {
    x = x.substr(0, static_cast<std::size_t>(count));
    y = y.substr(0, static_cast<std::size_t>(count));
  }
  if (ignoreCase) {
    for (char& c : x) c = lower(c);
    for (char& c : y) c = lower(c);
  }
  check(compareText(a, b, count, ignoreCase) == (x == y),
        "compareText disagrees with its description");
}

// Splits rest at its NULs into arguments, joins them and reads them back.
void checkJoin(const std::uint8_t* rest, std::size_t size) {
  std::vector<std::string> words;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || rest[i] == 0) {
      words.emplace_back(reinterpret_cast<const char*>(rest) + start,
                         i - start);
      start = i + 1;
    }
    if (words.size() == 16) break;
  }
  std::vector<const char*> argv{"setuphdr"};
  for (const std::string& w : words) argv.push_back(w.c_str());

  fuzzplatform::reset();
  char* joined = joinArguments(static_cast<int>(argv.size()), argv.data());
  check(joined != nullptr, "joinArguments failed with memory to spare");

  // The words read back one by one, with nothing left behind.
  const std::size_t joinedLength = std::strlen(joined);
  std::string line = "\"C:\\Program Files\\setuphdr.exe\" " + std::string(joined);
  check(argumentText(line.c_str()) == line.c_str() + line.size() - joinedLength,
        "argumentText did not find the joined arguments");

  char* copy = textCopy(joined, joinedLength);
  std::string word(joinedLength + 1, '\0');
  const char* position = skipBlanks(copy);
  for (const std::string& expected : words) {
    std::size_t length = 0;
    position = readToken(position, &word[0], word.size(), nullptr, &length);
    check(position != nullptr && length == expected.size() &&
              std::memcmp(word.data(), expected.data(), length) == 0,
          "a joined argument does not read back as itself");
    position = skipBlanks(position);
  }
  check(*position == '\0', "the joined text has more words");
  std::free(copy);
  freeBlock(joined);
  check(fuzzplatform::observed().liveBlocks == 0, "joinArguments leaked");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto* chars = reinterpret_cast<const char*>(data);
  const std::size_t length = strnlen(chars, size);
  char* text = textCopy(chars, length);
  const std::uint8_t* rest = data + length + (length < size ? 1 : 0);
  const std::size_t restSize = size - static_cast<std::size_t>(rest - data);
  const std::uint8_t knob = size > 0 ? data[size - 1] : 0;

  checkRun(text);
  checkOptions(text);
  checkScanners(text, length, knob);

  const std::size_t otherLength =
      strnlen(reinterpret_cast<const char*>(rest), restSize);
  char* other = textCopy(reinterpret_cast<const char*>(rest), otherLength);
  checkCompare(text, other, knob);
  checkCompare(other, text, knob);
  std::free(other);

  checkJoin(rest, restSize);
  std::free(text);
  return 0;
}

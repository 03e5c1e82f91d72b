// FuzzHeader.cpp - fuzz target: arbitrary bytes as a whole setup file
// through the header check, the report and every kind of change.
//
// Checked on every input, aborting on the first violation:
// - the check reads nothing outside the file (an exact-size heap copy, so
//   AddressSanitizer sees any over-read), agrees with the oracle, changes no
//   byte, and writes one error line on failure and nothing on success;
// - the report of a passing file reads nothing outside it, changes no byte
//   and prints exactly the oracle's lines, to a pipe and to a terminal;
// - for each of the eight combinations of architecture, minimal and maximal
//   version (values taken from the input), the changed file equals the
//   original with only those fields rewritten: bytes outside 20 to 47, and
//   every byte from offset 100 on, stay as they were; the change lines are
//   exactly the oracle's.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/FuzzOracle.h"
#include "fuzz/FuzzPlatform.h"
#include "header/HeaderReport.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"

using fuzzplatform::check;

namespace {

// An exact-size heap copy of the input; its end is the end of the file.
unsigned char* copyOf(const std::uint8_t* data, std::size_t size) {
  // A zero-byte file gets a block without a single valid byte.
  auto* copy = static_cast<unsigned char*>(std::malloc(size));
  check(copy != nullptr || size == 0, "out of memory in the fuzz process");
  if (size != 0) std::memcpy(copy, data, size);
  return copy;
}

// The change values: 28 bytes starting right behind the header, read
// around the end of the input when it is shorter.
std::uint32_t valueAt(const std::uint8_t* data, std::size_t size,
                      unsigned index) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < 4; ++i) {
    const std::size_t at = (100 + 4 * index + i) % size;
    value |= static_cast<std::uint32_t>(data[at]) << 8 * i;
  }
  return value;
}

// Starts a fresh sink with streams held, as runCommand would have them.
void freshStreams() {
  fuzzplatform::reset();
  platform::acquireStdHandles(nullptr, &gConsole.output, &gConsole.error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  const auto fileSize = static_cast<std::uint32_t>(size);
  unsigned char* file = copyOf(data, size);

  // The check.
  freshStreams();
  const bool passes = validateHeader(file, fileSize);
  const fuzzplatform::Observed& seen = fuzzplatform::observed();
  check(passes == oracle::headerPasses(data, size),
        "check disagrees with the format");
  check(size == 0 || std::memcmp(file, data, size) == 0,
        "the check changed the file");
  check(seen.outputLines == 0, "the check wrote to the output stream");
  check(seen.errorLines == (passes ? 0u : 1u),
        "the check did not write exactly one error line on failure");

  // The report, for a file that passed: to a pipe and to a terminal.
  for (const bool terminal : {false, true}) {
    if (!passes) break;
    freshStreams();
    gConsole.outputIsTerminal = terminal;
    showHeader(file, fileSize);
    check(std::memcmp(file, data, size) == 0, "the report changed the file");
    check(seen.errorLines == 0, "the report wrote to the error stream");
    check(seen.output == oracle::report(data, size, terminal),
          "the report differs from the expected lines");
  }
  gConsole.outputIsTerminal = false;

  // Every combination of changes, on a fresh copy each time. The change
  // needs the 100 header bytes; it does not look at the texts, so a file
  // that failed the check on them is changed as well.
  if (size >= SetupHeader::kSize) {
    ChangeRequest request{};
    request.arch = valueAt(data, size, 0);
    request.minVersion = {valueAt(data, size, 1), valueAt(data, size, 2),
                          valueAt(data, size, 3)};
    request.maxVersion = {valueAt(data, size, 4), valueAt(data, size, 5),
                          valueAt(data, size, 6)};
    auto* expected = static_cast<unsigned char*>(std::malloc(size));
    check(expected != nullptr, "out of memory in the fuzz process");
    for (unsigned mask = 0; mask < 8; ++mask) {
      request.archGiven = (mask & 1) != 0;
      request.minVersionGiven = (mask & 2) != 0;
      request.maxVersionGiven = (mask & 4) != 0;
      std::memcpy(file, data, size);
      std::memcpy(expected, data, size);
      oracle::applyExpected(expected, request);

      freshStreams();
      applyChanges(file, request);
      check(std::memcmp(file, data, 20) == 0 &&
                std::memcmp(file + 48, data + 48, size - 48) == 0,
            "a change touched a byte outside 20 to 47");
      check(std::memcmp(file, expected, size) == 0,
            "a change wrote other fields or values than asked");
      check(seen.errorLines == 0, "a change wrote to the error stream");
      check(seen.output == oracle::changeLines(request),
            "the change lines differ from the expected lines");
    }
    std::free(expected);
  }

  std::free(file);
  return 0;
}

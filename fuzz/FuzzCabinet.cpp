// FuzzCabinet.cpp - fuzz target: arbitrary bytes as a cabinet (.cab)
// through the reader, the search for the setup file and the change.
//
// Input: a control byte (bits 0 to 2: architecture, minimal, maximal
// version asked for; bit 3: remove the signature), seven LE32 values, the
// cabinet. Checked on every input: the display's ranged reads and the
// change's reads of an exact-size copy stay inside the file, read the same
// structure and find the same setup file; each step writes one error line
// on failure only; no block is left. A change runs as the tool runs it; its
// new image passes verifyRebuild, reads back with every checksum, ends at
// its cabinet size, is unsigned when asked, and holds the original's
// members (by the tests' own reader) but for the asked header fields.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>

#include "cabinet/Cabinet.h"
#include "cabinet/Rebuild.h"
#include "cabinet/SetupMember.h"
#include "cabinet/Verify.h"
#include "fuzz/FuzzOracle.h"
#include "fuzz/FuzzPlatform.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"
#include "tests/support/CabBuilder.h"

using fuzzplatform::check;

namespace {

constexpr std::size_t kControlSize = 1 + 7 * 4;

// An exact-size heap copy; its end is the end of the file.
unsigned char* copyOf(const unsigned char* data, std::size_t size) {
  auto* copy = static_cast<unsigned char*>(std::malloc(size));
  check(copy != nullptr || size == 0, "out of memory in the fuzz process");
  if (size != 0) std::memcpy(copy, data, size);
  return copy;
}

struct RangedFile {
  const unsigned char* bytes;
  std::uint32_t size;
};

bool readRange(void* context, std::uint32_t offset, void* buffer,
               std::uint32_t size) {
  const RangedFile& file = *static_cast<const RangedFile*>(context);
  check(offset <= file.size && size <= file.size - offset,
        "the reader asked for bytes outside the file");
  std::memcpy(buffer, file.bytes + offset, size);
  return true;
}

// Runs one step of the cabinet code and checks its error lines.
template <typename Step>
CabStatus reported(Step step) {
  const unsigned before = fuzzplatform::observed().errorLines;
  const CabStatus status = step();
  check(fuzzplatform::observed().errorLines - before ==
            (status == CabStatus::Ok ? 0u : 1u),
        "a cabinet step wrote other than one error line on failure");
  return status;
}

// The independent reader, only on cabinets the tool accepted or built,
// which have at least the setup file.
std::map<std::string, std::string> extract(const unsigned char* bytes,
                                           std::uint32_t size) {
  std::map<std::string, std::string> members;
  try {
    members = cabtest::extract(
        std::string(reinterpret_cast<const char*>(bytes), size));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "independent reader: %s\n", e.what());
  }
  check(!members.empty(), "the independent reader fails on the cabinet");
  return members;
}

// The change of the setup file in cabinet (read and checked from whole) as
// the tool makes it, and its new image checked.
void checkChange(const CabinetSource& whole, Cabinet* cabinet,
                 const ChangePass& pass, const ChangeRequest& changes,
                 bool unsign) {
  const SetupMember& member = pass.member;
  // The tool refuses a bad header, a member on the bytes to change and a
  // signature it may not remove.
  if (!validateHeader(member.bytes, member.size)) return;
  if ((changes.archGiven || changes.minVersionGiven ||
       changes.maxVersionGiven) &&
      reported([&] { return checkSetupFileAlone(*cabinet, member); }) !=
          CabStatus::Ok)
    return;
  if (cabinet->isSigned && !unsign) return;
  unsigned char header[SetupHeader::kSize];
  std::memcpy(header, member.bytes, sizeof header);
  applyChanges(header, changes);
  const RebuildRequest request = {&member, header, &changes, unsign};
  RebuildResult result;
  if (reported([&] {
        return rebuildCabinet(whole, cabinet, request, pass, &result);
      }) != CabStatus::Ok) {
    check(result.image == nullptr, "a refused rebuild gave an image");
    return;
  }
  const bool removes = unsign && cabinet->isSigned;
  check(result.unchanged == (!removes && std::memcmp(header, member.bytes,
                                                     sizeof header) == 0) &&
            result.unchanged == (result.image == nullptr) &&
            result.signatureRemoved == removes,
        "the rebuild did other than what was asked");
  if (result.unchanged) return;
  check(verifyRebuild(whole, cabinet, request, pass, result),
        "verifyRebuild rejected the rebuilt image");

  unsigned char* image = copyOf(result.image, result.size);
  freeBlock(result.image);
  {
    const CabinetSource fresh = {image, result.size, nullptr, nullptr, true};
    Cabinet rebuilt;
    check(readCabinet(fresh, &rebuilt) == CabStatus::Ok &&
              checkWholeCabinet(fresh, &rebuilt, true) == CabStatus::Ok,
          "the new image does not read back with every checksum holding");
    check(rebuilt.cabinetSize == result.size && !(unsign && rebuilt.isSigned),
          "the new image is longer than its cabinet or still signed");
  }

  // Members go by name, the last of a name wins.
  auto expected = extract(whole.image, whole.fileSize);
  const char* name = cabFileName(*cabinet, member.index);
  bool last = true;
  for (std::uint32_t i = member.index + 1; i < cabinet->fileCount; ++i)
    last = last && std::strcmp(cabFileName(*cabinet, i), name) != 0;
  if (last) {
    std::string& setup = expected[name];
    check(setup.size() == member.size &&
              setup.compare(0, member.held,
                            reinterpret_cast<const char*>(member.bytes),
                            member.held) == 0,
          "the independent reader finds other setup file bytes");
    oracle::applyExpected(reinterpret_cast<unsigned char*>(&setup[0]), changes);
  }
  check(extract(image, result.size) == expected,
        "the new cabinet's members differ from the asked change");
  std::free(image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < kControlSize || size - kControlSize > 0xFFFFFFFFu) return 0;
  ChangeRequest changes{};
  changes.archGiven = (data[0] & 1) != 0;
  changes.minVersionGiven = (data[0] & 2) != 0;
  changes.maxVersionGiven = (data[0] & 4) != 0;
  const bool unsign = (data[0] & 8) != 0;
  changes.arch = readLE32(data + 1);
  changes.minVersion = {readLE32(data + 5), readLE32(data + 9),
                        readLE32(data + 13)};
  changes.maxVersion = {readLE32(data + 17), readLE32(data + 21),
                        readLE32(data + 25)};
  const auto fileSize = static_cast<std::uint32_t>(size - kControlSize);
  unsigned char* file = copyOf(data + kControlSize, fileSize);

  fuzzplatform::reset();
  platform::acquireStdHandles(nullptr, &gConsole.output, &gConsole.error);
  {
    // The display's way: ranges of the file, as far as it needs.
    RangedFile ranged = {file, fileSize};
    const CabinetSource shown = {nullptr, fileSize, readRange, &ranged, false};
    Cabinet shownCabinet;
    SetupMember shownMember = {};
    const CabStatus shownRead =
        reported([&] { return readCabinet(shown, &shownCabinet); });
    CabStatus shownFind = shownRead;
    if (shownRead == CabStatus::Ok)
      shownFind = reported(
          [&] { return findSetupFile(shown, &shownCabinet, &shownMember); });

    // The change's way: the whole file in memory, checked throughout.
    const CabinetSource whole = {file, fileSize, nullptr, nullptr, false};
    Cabinet cabinet;
    ChangePass pass = {};
    const SetupMember& member = pass.member;
    CabStatus status = reported([&] { return readCabinet(whole, &cabinet); });
    check(status == shownRead, "the two ways read the structure differently");
    if (status == CabStatus::Ok)
      status = reported(
          [&] { return passCabinet(whole, &cabinet, changes, &pass); });
    if (status == CabStatus::Ok) {
      check(shownFind == CabStatus::Ok && shownMember.index == member.index &&
                shownMember.size == member.size &&
                shownMember.held == member.held &&
                std::memcmp(shownMember.bytes, member.bytes, member.held) == 0,
            "the two ways find different setup files");
      checkChange(whole, &cabinet, pass, changes, unsign);
    }
    freeBlock(shownMember.bytes);
    releaseChangePass(&pass);
  }
  check(fuzzplatform::observed().liveBlocks == 0,
        "a block of the cabinet code was not freed");
  std::free(file);
  return 0;
}

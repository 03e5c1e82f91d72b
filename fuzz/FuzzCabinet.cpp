// FuzzCabinet.cpp - fuzz target: arbitrary bytes as a cabinet (.cab)
// through the reader, the search for the setup file and the change.
//
// Input: a control byte (bits 0 to 2: architecture, minimal, maximal
// version asked for; bit 3: remove the signature; bit 4: lift the platform
// list), seven LE32 values, the cabinet. Checked on every input: the
// display's ranged reads and the change's reads of an exact-size copy stay
// inside the file, read the same structure and find the same setup file and
// program families, and so does the pass that lists every setup file, each
// of which copies out; each step writes one error line on failure only; no
// block is left; the heap grows by no more than the tool's memory goals
// allow (see kDisplayMemory). A change runs as the tool runs it; the
// original it accepts reads alike in the sliding and the frame reading (the
// tests' own reader, unwritten frame positions filled two ways); its new
// image passes verifyRebuild, reads back with every checksum, ends at its
// cabinet size, is unsigned when asked, and holds the original's members in
// both readings but for the asked header fields and the setup XML's planned
// document (a cabinet with _setup.xml: both ways copy the same document);
// libmspack (linked from Debian's libmspack-dev) reads the original and the
// new image as the tool's reading does, wherever it reads their tables
// alike.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "cabinet/Cabinet.h"
#include "cabinet/CabinetFormat.h"
#include "cabinet/ChangePass.h"
#include "cabinet/FileTable.h"
#include "cabinet/FolderReader.h"
#include "cabinet/NewImage.h"
#include "cabinet/SetupSearch.h"
#include "cabinet/SetupXmlMember.h"
#include "cabinet/Verify.h"
#include "fuzz/FuzzOracle.h"
#include "fuzz/FuzzPlatform.h"
#include "fuzz/MspackReader.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"
#include "tests/support/CabBuilder.h"

using fuzzplatform::check;

namespace {

constexpr std::size_t kControlSize = 1 + 7 * 4;

// Memory goals, as heap growth during the tool's own steps: a display
// needs at most 16 MiB on any input, a change at most that beside the
// cabinet and its new image. On inputs as small as the fuzzer's the bounds
// are tighter, so that a buffer per block or per folder shows: a base for
// the decoder and the encoder, and a few times the input for the tables.
constexpr std::size_t kDisplayMemory = 16u << 20;
constexpr std::size_t kMemoryBase = 1u << 20;
constexpr std::size_t kMemoryPerInputByte = 16;

// The live heap, followed through the sanitizer allocator's hooks when the
// runtime has them (not in a coverage build).
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*)(const volatile void*, std::size_t),
    void (*)(const volatile void*)) __attribute__((weak));
extern "C" std::size_t __sanitizer_get_allocated_size(const volatile void*)
    __attribute__((weak));

std::atomic<long long> gLiveBytes{0};
std::atomic<long long> gPeakBytes{0};

void onMalloc(const volatile void*, std::size_t size) {
  const long long live = gLiveBytes += static_cast<long long>(size);
  long long peak = gPeakBytes.load();
  while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live)) {
  }
}

void onFree(const volatile void* block) {
  if (block != nullptr)
    gLiveBytes -=
        static_cast<long long>(__sanitizer_get_allocated_size(block));
}

bool memoryFollowed() {
  static const bool installed =
      &__sanitizer_install_malloc_and_free_hooks != nullptr &&
      &__sanitizer_get_allocated_size != nullptr &&
      __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
  return installed;
}

// Heap growth, at its peak, of the steps run since the mark was set; one
// mark at a time.
struct MemoryMark {
  long long base;
  MemoryMark() : base(gLiveBytes.load()) { gPeakBytes = base; }
  std::size_t growth() const {
    const long long peak = gPeakBytes.load();
    return peak > base ? static_cast<std::size_t>(peak - base) : 0;
  }
};

// The heap growth a step on input (size bytes) may reach, beside extra.
std::size_t memoryBound(std::size_t size, std::size_t extra) {
  const std::size_t tables = kMemoryBase + kMemoryPerInputByte * size;
  return (tables < kDisplayMemory ? tables : kDisplayMemory) + extra;
}

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
std::map<std::string, std::string> extract(
    const unsigned char* bytes, std::uint32_t size,
    cabtest::History reading = cabtest::History::Sliding, char fill = 0) {
  std::map<std::string, std::string> members;
  try {
    members = cabtest::extract(
        std::string(reinterpret_cast<const char*>(bytes), size), reading,
        fill);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "independent reader: %s\n", e.what());
  }
  check(!members.empty(), "the independent reader fails on the cabinet");
  return members;
}

// A copy of the cabinet in memory (read with readCabinet) with every data
// block's checksum cleared: the tool has checked them, and it also takes a
// sum over the block reserve, which libmspack does not.
std::string withoutBlockSums(const unsigned char* bytes, std::uint32_t size,
                             const Cabinet& cabinet) {
  std::string copy(reinterpret_cast<const char*>(bytes), size);
  for (std::uint16_t i = 0; i < cabinet.folderCount; ++i) {
    std::uint32_t offset = cabinet.folders[i].dataOffset;
    for (std::uint16_t k = 0; k < cabinet.folders[i].blockCount; ++k) {
      cabtest::put(copy, offset + CabFormat::kBlockChecksum, 0, 4);
      offset += CabFormat::kBlockHeaderSize + cabinet.dataReserveSize +
                readLE16(bytes + offset + CabFormat::kBlockDataSize);
    }
  }
  return copy;
}

// libmspack (cabextract's reader) reads the members of a cabinet the tool
// accepted or built as members has them (by name, the last of a name
// wins), where it reads the cabinet's structure as the tool does: it takes
// the file table from behind the folder table, not from coffFiles, so a
// cabinet whose tables it reads otherwise is left to other checks.
void checkWithMspack(const unsigned char* bytes, std::uint32_t size,
                     const Cabinet& cabinet,
                     const std::map<std::string, std::string>& members) {
  std::vector<mspackreader::Member> read;
  bool same = mspackreader::readMembers(withoutBlockSums(bytes, size, cabinet),
                                        &read) &&
              read.size() == cabinet.fileCount;
  char name[CabFormat::kMaxNameSize];
  for (std::uint32_t i = 0; same && i < cabinet.fileCount; ++i) {
    const CabMember& entry = cabinet.members[i];
    same = read[i].name == cabFileName(cabinet, i, name) &&
           read[i].size == entry.size &&
           read[i].offset == entry.folderOffset &&
           read[i].folder == entry.folder;
  }
  if (!same) return;
  std::map<std::string, std::string> extracted;
  for (const mspackreader::Member& member : read) {
    check(member.extracted, "libmspack fails on a member the tool reads");
    extracted[member.name] = member.bytes;
  }
  check(extracted == members, "libmspack reads other member bytes");
}

// The pass that lists every setup file agrees with findSetupFile's (which
// gave found, member and programs) where the search decoded as far, and
// each listed setup file copies out as far as its held bytes (the search,
// and a copy, decode further than the pass: to the end of those).
void checkScan(const CabinetSource& source, Cabinet* cabinet, CabStatus found,
               const SetupMember& member, const ProgramFamilies& programs) {
  CabinetScan scan = {};
  if (reported([&] { return scanCabinet(source, cabinet, &scan); }) !=
      CabStatus::Ok)
    return;
  check(found != CabStatus::NoSetupFile || scan.setupCount == 0,
        "the list's pass finds a setup file the search did not");
  check(found != CabStatus::Ok ||
            (scan.setupCount == 1 && scan.setupIndices[0] == member.index &&
             std::memcmp(&scan.programs, &programs, sizeof programs) == 0),
        "the list's pass finds other setup files or programs");
  for (std::uint32_t i = 0; i < scan.setupCount; ++i) {
    check(i == 0 || scan.setupIndices[i - 1] < scan.setupIndices[i],
          "the setup files are not listed in member order");
    SetupMember copy = {};
    if (reported([&] {
          return copySetupFile(source, cabinet, scan.setupIndices[i], &copy);
        }) == CabStatus::Ok)
      check(copy.size == cabinet->members[copy.index].size &&
                copy.held == (copy.size < kSetupFileReach ? copy.size
                                                          : kSetupFileReach) &&
                std::memcmp(copy.bytes, "MSCE", 4) == 0 &&
                (found != CabStatus::Ok ||
                 std::memcmp(copy.bytes, member.bytes, member.held) == 0),
            "a listed setup file copies out other bytes");
    else
      check(found != CabStatus::Ok, "the one setup file does not copy out");
    freeBlock(copy.bytes);
  }
  freeBlock(scan.setupIndices);
}

// The change of the setup file in cabinet (read and checked from whole) as
// the tool makes it, and its new image checked. mark was set before the
// change's first step.
void checkChange(const CabinetSource& whole, Cabinet* cabinet,
                 const ChangePass& pass, const ChangeRequest& changes,
                 bool unsign, const MemoryMark& mark) {
  const SetupMember& member = pass.member;
  // The pass found every block to mean the same to every reader.
  checkWithMspack(whole.image, whole.fileSize, *cabinet,
                  extract(whole.image, whole.fileSize));
  // The tool refuses several setup XMLs whatever else the cabinet holds.
  if (cabinet->setupXmlCount > 1) return;
  const bool hasSetup = member.bytes != nullptr;
  const SetupXmlChange& xml = pass.xml;
  // The tool refuses a bad header, a member on the bytes to change, a
  // setup XML it cannot change (or two), -allplatforms without a setup
  // file and a signature it may not remove.
  if (hasSetup && !validateHeader(member.bytes, member.size)) return;
  if (hasSetup &&
      (changesSetupXml(changes) || changes.clearPlatforms) &&
      reported([&] { return checkSetupFileAlone(*cabinet, member); }) !=
          CabStatus::Ok)
    return;
  if (!hasSetup && changes.clearPlatforms) return;
  check(hasSetup || cabinet->setupXmlCount == 1,
        "a change went ahead without a setup file or one setup XML");
  if (changesSetupXml(changes) && cabinet->setupXmlCount != 0) {
    check(xml.planned, "the pass did not plan the setup XML's change");
    if (xml.problem != nullptr) return;
    if (xml.plan.count != 0 &&
        reported([&] {
          return checkSetupXmlAlone(*cabinet, xml.copy.index);
        }) != CabStatus::Ok)
      return;
  }
  check(xml.problem == nullptr || !changesSetupXml(changes),
        "a setup XML the change cannot touch has a problem");
  if (cabinet->isSigned && !unsign) return;
  unsigned char header[SetupHeader::kSize] = {};
  if (hasSetup) {
    std::memcpy(header, member.bytes, sizeof header);
    applyChanges(header, changes);
  }
  const RebuildRequest request = {&member, header, &changes, unsign};
  RebuildResult result;
  if (reported([&] {
        return rebuildCabinet(whole, cabinet, request, pass, &result);
      }) != CabStatus::Ok) {
    check(result.image == nullptr, "a refused rebuild gave an image");
    return;
  }
  const bool removes = unsign && cabinet->isSigned;
  const bool sameHeader =
      !hasSetup || std::memcmp(header, member.bytes, sizeof header) == 0;
  check(result.unchanged == (!removes && sameHeader &&
                             xml.plan.count == 0) &&
            result.unchanged == (result.image == nullptr) &&
            result.signatureRemoved == removes &&
            result.relaid == (xml.plan.count != 0),
        "the rebuild did other than what was asked");
  if (result.unchanged) return;
  check(verifyRebuild(whole, cabinet, request, pass, result),
        "verifyRebuild rejected the rebuilt image");
  check(!memoryFollowed() ||
            mark.growth() <= memoryBound(whole.fileSize, result.size),
        "the change took more memory than its goal");

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
  const auto readings = [](const unsigned char* bytes, std::uint32_t size,
                           const std::map<std::string, std::string>& members) {
    return extract(bytes, size, cabtest::History::Frame, 0) == members &&
           extract(bytes, size, cabtest::History::Frame, '\xA5') == members;
  };
  check(readings(whole.image, whole.fileSize, expected),
        "the cabinet the change accepted reads two ways");
  char buffer[CabFormat::kMaxNameSize];
  char other[CabFormat::kMaxNameSize];
  // The member whose bytes the reader keeps under its name: the last.
  const auto lastOfName = [&](std::uint32_t index, const char** name) {
    *name = cabFileName(*cabinet, index, buffer);
    bool last = true;
    for (std::uint32_t i = index + 1; i < cabinet->fileCount; ++i)
      last = last && std::strcmp(cabFileName(*cabinet, i, other), *name) != 0;
    return last;
  };
  const char* name = nullptr;
  if (hasSetup && lastOfName(member.index, &name)) {
    std::string& setup = expected[name];
    check(setup.size() == member.size &&
              setup.compare(0, member.held,
                            reinterpret_cast<const char*>(member.bytes),
                            member.held) == 0,
          "the independent reader finds other setup file bytes");
    oracle::applyExpected(reinterpret_cast<unsigned char*>(&setup[0]), changes);
  }
  if (xml.plan.count != 0 && lastOfName(xml.copy.index, &name)) {
    std::string& document = expected[name];
    check(document.size() == xml.copy.size &&
              document.compare(0, xml.copy.size,
                               reinterpret_cast<const char*>(xml.copy.bytes),
                               xml.copy.size) == 0,
          "the independent reader finds other setup XML bytes");
    document.assign(xml.plan.newSize, '\0');
    writeSetupXmlEdit(xml.copy.bytes, xml.copy.size, xml.plan, 0,
                      xml.plan.newSize,
                      reinterpret_cast<unsigned char*>(&document[0]));
  }
  check(extract(image, result.size) == expected &&
            readings(image, result.size, expected),
        "the new cabinet's members differ from the asked change");
  {
    const CabinetSource fresh = {image, result.size, nullptr, nullptr, true};
    Cabinet rebuilt;
    check(readCabinet(fresh, &rebuilt) == CabStatus::Ok,
          "the new image does not read back");
    checkWithMspack(image, result.size, rebuilt, expected);
  }
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
  changes.clearPlatforms = (data[0] & 16) != 0;
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
    memoryFollowed();
    const MemoryMark shownMark;
    RangedFile ranged = {file, fileSize};
    const CabinetSource shown = {nullptr, fileSize, readRange, &ranged, false};
    Cabinet shownCabinet;
    SetupMember shownMember = {};
    SetupMember shownXml = {};
    ProgramFamilies shownPrograms = {};
    const CabStatus shownRead =
        reported([&] { return readCabinet(shown, &shownCabinet); });
    CabStatus shownFind = shownRead;
    if (shownRead == CabStatus::Ok)
      shownFind = reported([&] {
        return findSetupFile(shown, &shownCabinet, &shownMember,
                             &shownPrograms, &shownXml);
      });
    check(!memoryFollowed() || shownMark.growth() <= memoryBound(fileSize, 0),
          "the display took more memory than its goal");
    // The list's pass knows setup files only.
    if (shownRead == CabStatus::Ok &&
        !(shownFind == CabStatus::Ok && shownMember.bytes == nullptr))
      checkScan(shown, &shownCabinet, shownFind, shownMember, shownPrograms);

    // The change's way: the whole file in memory, checked throughout.
    const CabinetSource whole = {file, fileSize, nullptr, nullptr, false};
    Cabinet cabinet;
    ChangePass pass = {};
    const SetupMember& member = pass.member;
    const MemoryMark passMark;
    CabStatus status = reported([&] { return readCabinet(whole, &cabinet); });
    check(status == shownRead, "the two ways read the structure differently");
    if (status == CabStatus::Ok)
      status = reported(
          [&] { return passCabinet(whole, &cabinet, changes, &pass); });
    check(!memoryFollowed() || passMark.growth() <= memoryBound(fileSize, 0),
          "the change's pass took more memory than its goal");
    if (status == CabStatus::Ok) {
      check(shownFind == CabStatus::Ok &&
                (shownMember.bytes == nullptr) == (member.bytes == nullptr) &&
                (member.bytes == nullptr ||
                 (shownMember.index == member.index &&
                  shownMember.size == member.size &&
                  shownMember.held == member.held &&
                  std::memcmp(shownMember.bytes, member.bytes, member.held) ==
                      0)),
            "the two ways find different setup files");
      const SetupMember& xml = pass.xml.copy;
      check((shownXml.bytes == nullptr) == (xml.bytes == nullptr) &&
                (xml.bytes == nullptr ||
                 (shownXml.index == xml.index && shownXml.size == xml.size &&
                  std::memcmp(shownXml.bytes, xml.bytes, xml.size) == 0)),
            "the two ways copy different setup XMLs");
      check(std::memcmp(&pass.programs, &shownPrograms,
                        sizeof shownPrograms) == 0,
            "the two ways find different program families");
      checkChange(whole, &cabinet, pass, changes, unsign, passMark);
    }
    freeBlock(shownMember.bytes);
    freeBlock(shownXml.bytes);
    releaseChangePass(&pass);
  }
  check(fuzzplatform::observed().liveBlocks == 0,
        "a block of the cabinet code was not freed");
  std::free(file);
  return 0;
}

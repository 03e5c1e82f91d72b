// CabinetTest.cpp - cabinets built in code: reading, finding the setup
// file, the rebuild after a change, signature removal, and every refusal.
// The results are read back with the independent reader of CabBuilder.
#include <cstring>
#include <functional>

#include <zlib.h>

#include "TestSupport.h"
#include "../support/CabBuilder.h"
#include "../support/DeflateWriter.h"
#include "app/ExitCodes.h"
#include "app/FileProcessing.h"
#include "cabinet/Cabinet.h"
#include "cabinet/CabinetFormat.h"
#include "cabinet/Checksum.h"
#include "cabinet/FileTable.h"
#include "cabinet/FolderReader.h"
#include "cabinet/NewImage.h"
#include "cabinet/ChangePass.h"
#include "cabinet/SetupSearch.h"
#include "cabinet/Verify.h"
#include "header/Endian.h"
#include "header/HeaderReport.h"
#include "runtime/Runtime.h"

namespace {

using cabtest::Recipe;
using cabtest::peFile;

// Bytes that compress, but not to nothing.
std::string filler(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>("abcdefgh"[(i * seed / 7 + i / 13) % 8]);
  return bytes;
}

std::string noise(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t x = 2463534242u;
  for (char& c : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

// Random letters, or with high random bytes from 0x80 up, which letters
// never match: deflate finds little in either.
std::string text(std::size_t size, std::uint32_t seed, bool high = false) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    const unsigned bits = seed >> 16;
    c = static_cast<char>(high ? 0x80 | (bits & 0x7F) : 'A' + bits % 58);
  }
  return bytes;
}

// A setup file with an unsupported-platforms list (8 bytes at 120).
std::string setupWithPlatforms() {
  std::string setup = cabtest::setupFile(2577, "App", "Provider", 400);
  cabtest::put(setup, 92, 120, 2);
  cabtest::put(setup, 94, 8, 2);
  return setup;
}

const std::string kSetup = setupWithPlatforms();

// Reads ranges of a cabinet held in a string, failing the test on any
// read outside it.
bool readRange(void* context, std::uint32_t offset, void* buffer,
               std::uint32_t size) {
  const std::string& file = *static_cast<const std::string*>(context);
  EXPECT_LE(std::uint64_t{offset} + size, file.size());
  if (std::uint64_t{offset} + size > file.size()) return false;
  std::memcpy(buffer, file.data() + offset, size);
  return true;
}

// The change of a cabinet as the tool runs it, in memory.
struct Change {
  CabStatus status = CabStatus::Ok;
  bool verified = false;
  bool unchanged = false;
  bool archCopyUpdated = false;
  std::string image;
};

// claimed, when not 0, is the file size the reader is told: only the
// cabinet's first bytes are really there.
Change change(const std::string& cabinet, const ChangeRequest& changes,
              bool unsign = false, std::uint32_t claimed = 0) {
  Change run;
  ExactBytes bytes(cabinet);
  const CabinetSource source = {bytes.data(),
                                claimed != 0 ? claimed : bytes.size(),
                                nullptr, nullptr, false};
  Cabinet parsed;
  ChangePass pass = {};
  const SetupMember& member = pass.member;
  run.status = readCabinet(source, &parsed);
  if (run.status == CabStatus::Ok)
    run.status = passCabinet(source, &parsed, changes, &pass);
  if (run.status == CabStatus::Ok && !unsign && member.bytes != nullptr)
    run.status = checkSetupFileAlone(parsed, member);
  if (run.status == CabStatus::Ok && pass.xml.problem != nullptr)
    run.status = CabStatus::Unhandled;
  if (run.status != CabStatus::Ok) {
    releaseChangePass(&pass);
    return run;
  }
  unsigned char header[SetupHeader::kSize] = {};
  if (member.bytes != nullptr) {
    std::memcpy(header, member.bytes, sizeof header);
    applyChanges(header, changes);
  }
  const RebuildRequest request = {&member, header, &changes, unsign};
  RebuildResult result;
  run.status = rebuildCabinet(source, &parsed, request, pass, &result);
  if (run.status == CabStatus::Ok && !result.unchanged) {
    run.verified = verifyRebuild(source, &parsed, request, pass, result);
    run.image.assign(reinterpret_cast<char*>(result.image), result.size);
  }
  run.unchanged = result.unchanged;
  run.archCopyUpdated = result.archCopyUpdated;
  freeBlock(result.image);
  releaseChangePass(&pass);
  return run;
}

ChangeRequest retarget() {
  ChangeRequest changes = {};
  changes.archGiven = changes.minVersionGiven = changes.clearPlatforms = true;
  changes.arch = 4000;
  changes.minVersion = {6, 1, 2};
  return changes;
}

std::string patchedSetup() {
  std::string setup = kSetup;
  cabtest::put(setup, 20, 4000, 4);
  cabtest::put(setup, 24, 6, 4);
  cabtest::put(setup, 28, 1, 4);
  cabtest::put(setup, 40, 2, 4);
  cabtest::put(setup, 94, 0, 2);
  return setup;
}

class CabinetTest : public FakePlatformTest {};

struct Layout {
  const char* name;
  Recipe recipe;
};

std::vector<Layout> layouts() {
  const std::string dll = filler(70000, 3);
  std::vector<Layout> all = {
      {"one stored folder",
       {{{0}}, {{"APP.000", kSetup}, {"other.001", filler(500, 5)}}}},
      {"MSZIP, setup file not first",
       {{{1}}, {{"readme.txt", filler(1000, 2)}, {"APP.000", kSetup},
                {"app.dll", dll}}}},
      {"three folders, setup file in the last",
       {{{0}, {1}, {1, 20000, "", {}, cabtest::History::None}},
        {{"a.001", filler(300, 7)}, {"b.002", dll, 1}, {"c.003", dll, 2},
         {"APP.000", kSetup, 2}}}},
      {"header split across stored blocks",
       {{{0, 30}}, {{"APP.000", kSetup}, {"x.001", filler(200, 9)}}}},
      {"header split across small MSZIP blocks",
       {{{1, 40, "", {}, cabtest::History::None}},
        {{"APP.000", kSetup}, {"x.001", filler(9000, 9)}}}},
  };
  Recipe reserves = {{{1, 32768, cabtest::archCopy(2577, "App", "Provider")},
                    {0, 32768, "unrelated"}},
                   {{"APP.000", kSetup}, {"y.001", dll, 1}}};
  reserves.folderReserveSize = 40;
  reserves.dataReserveSize = 3;
  reserves.headerReserve = "head";
  all.push_back({"folder reserves with a copy of the architecture", reserves});
  Recipe summed = {{{1}}, {{"APP.000", kSetup}, {"z.001", dll}}};
  summed.dataReserveSize = 5;
  summed.sumReserve = true;
  all.push_back({"block checksums over the block reserve", summed});
  Recipe unsummed = {{{0, 100}}, {{"APP.000", kSetup}}};
  unsummed.checksums = false;
  all.push_back({"blocks without checksums", unsummed});
  return all;
}

TEST_F(CabinetTest, FindsAndChangesTheSetupFileInEveryLayout) {
  for (const Layout& layout : layouts()) {
    SCOPED_TRACE(layout.name);
    const std::string cabinet = cabtest::build(layout.recipe);
    ASSERT_EQ(cabtest::extract(cabinet).at("APP.000"), kSetup);

    // The display reads ranges only.
    std::string file = cabinet;
    const CabinetSource ranges = {nullptr,
                                  static_cast<std::uint32_t>(file.size()),
                                  readRange, &file, false};
    Cabinet parsed;
    SetupMember member = {};
    ASSERT_EQ(readCabinet(ranges, &parsed), CabStatus::Ok);
    ASSERT_EQ(findSetupFile(ranges, &parsed, &member), CabStatus::Ok);
    char name[CabFormat::kMaxNameSize];
    EXPECT_STREQ(cabFileName(parsed, member.index, name), "APP.000");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(member.bytes), member.size),
              kSetup);
    freeBlock(member.bytes);

    const Change run = change(cabinet, retarget());
    ASSERT_EQ(run.status, CabStatus::Ok);
    EXPECT_TRUE(run.verified) << err();
    auto before = cabtest::extract(cabinet), after = cabtest::extract(run.image);
    before["APP.000"] = patchedSetup();
    EXPECT_EQ(after, before);
    const bool stored = layout.recipe.folders[0].compression == 0 &&
                        layout.recipe.members[0].name == "APP.000";
    if (stored) {
      EXPECT_EQ(run.image.size(), cabinet.size());
    }
    EXPECT_EQ(run.archCopyUpdated, layout.recipe.folderReserveSize != 0);
  }
  EXPECT_EQ(err(), "");
}

// The names of the members that differ between two extractions, for a
// short failure message.
std::string differingMembers(const std::map<std::string, std::string>& a,
                             const std::map<std::string, std::string>& b) {
  std::string names;
  for (const auto& member : a) {
    const auto other = b.find(member.first);
    if (other == b.end() || other->second != member.second)
      names += member.first + " ";
  }
  for (const auto& member : b) {
    if (a.count(member.first) == 0) names += member.first + " (missing) ";
  }
  return names;
}

// A setup XML with the given values, padded with a comment of pad bytes
// before its end.
std::string setupXml(const std::string& arch, const std::string& min,
                     const std::string& max, std::size_t pad = 0) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
         "<wap-provisioningdoc>\r\n<characteristic type=\"Install\">\r\n"
         "<parm name=\"InstallPhase\" value=\"install\" />\r\n"
         "<parm name=\"ProcessorType\" value=\"" + arch + "\" />\r\n"
         "<parm name='OSVersionMin' value='" + min + "'/>\r\n"
         "<parm value=\"" + max + "\" name=\"OSVersionMax\" />\r\n"
         "<parm name=\"BuildNumberMax\" value=\"-536870912\" />\r\n"
         "<parm name=\"AppName\" value=\"App\" />\r\n"
         "</characteristic>\r\n<!--" + text(pad, 11) + "-->\r\n"
         "</wap-provisioningdoc>\r\n";
}

// The setup XML takes a longer architecture code (2577 to 10003) or a
// shorter maximum (100.0 to 5.2): its folder is laid out anew from the
// block that holds its first byte, and every member reads as before in
// both readings, but for the setup file's header and the XML's values.
TEST_F(CabinetTest, SetupXmlOfAnotherSizeIsLaidOutAnew) {
  const std::string xml = setupXml("2577", "4.0", "100.0", 3000);
  const std::string big = setupXml("2577", "4.0", "100.0", 70000);
  const std::string dll = filler(70000, 3);
  using cabtest::History;
  struct Case {
    const char* name;
    Recipe recipe;
    bool longer;  // -arch 10003, else -vermax 5.2
  };
  const std::vector<Case> cases = {
      {"stored, alone in the last folder",
       {{{1}, {0}}, {{"APP.000", kSetup}, {"_setup.xml", xml, 1}}}, true},
      {"MSZIP, in the middle folder, later folders present",
       {{{0}, {1}, {1}},
        {{"APP.000", kSetup}, {"a.dll", dll, 1}, {"_SETUP.XML", xml, 1},
         {"b.dll", dll, 1}, {"c.dll", dll, 2}}},
       false},
      {"MSZIP, in the first folder, the setup file before it",
       {{{1}, {1}},
        {{"APP.000", kSetup}, {"_setup.xml", big}, {"a.dll", dll},
         {"c.dll", dll, 1}}},
       true},
      {"MSZIP, in the first folder, the setup file behind it",
       {{{1}}, {{"_setup.xml", big}, {"APP.000", kSetup}, {"a.dll", dll}}},
       false},
      {"MSZIP in short blocks, the setup file's header across them",
       {{{1, 3000, "", {}, History::None}},
        {{"APP.000", kSetup}, {"_setup.xml", xml}, {"a.dll", dll}}},
       true},
      {"stored in short blocks, members behind it",
       {{{0, 1000}, {0}},
        {{"_setup.xml", xml}, {"a.001", filler(5000, 4)},
         {"APP.000", kSetup}, {"b.001", filler(300, 5), 1}}},
       false},
      {"MSZIP, a cabinet with only a setup XML",
       {{{1}}, {{"a.dll", dll}, {"_setup.xml", xml}}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string cabinet = cabtest::build(c.recipe);
    ChangeRequest changes = retarget();
    changes.arch = 10003;
    // A cabinet with only a setup XML has no list of platforms to lift.
    changes.clearPlatforms = c.recipe.members.size() > 2;
    if (!c.longer) {
      changes = {};
      changes.maxVersionGiven = true;
      changes.maxVersion = {5, 2, 0};
    }
    const Change run = change(cabinet, changes);
    ASSERT_EQ(run.status, CabStatus::Ok) << err();
    EXPECT_TRUE(run.verified) << err();
    auto expected = cabtest::extract(cabinet);
    for (auto& member : expected) {
      std::string& bytes = member.second;
      if (member.first == "APP.000") {
        unsigned char header[SetupHeader::kSize];
        std::memcpy(header, bytes.data(), sizeof header);
        storeChanges(header, changes);
        bytes.replace(0, sizeof header, reinterpret_cast<char*>(header),
                      sizeof header);
      } else if (bytes.compare(0, 5, "<?xml") == 0) {
        const std::size_t at = bytes.find(c.longer ? "\"2577\"" : "\"100.0\"");
        bytes.replace(at + 1, c.longer ? 4 : 5, c.longer ? "10003" : "5.2");
        if (c.longer) bytes.replace(bytes.find("'4.0'") + 1, 3, "6.1");
        if (!c.longer) bytes.replace(bytes.find("-536870912"), 10, "0");
      }
    }
    EXPECT_EQ(differingMembers(cabtest::extract(run.image), expected), "");
    EXPECT_EQ(differingMembers(cabtest::extract(run.image, History::Frame, 0),
                               expected),
              "");
    EXPECT_EQ(differingMembers(
                  cabtest::extract(run.image, History::Frame, '\xFF'),
                  expected),
              "");
  }
}

TEST_F(CabinetTest, FolderCopyOfTheArchitectureFollowsOnlyWhenFaithful) {
  for (const char* provider : {"Provider", "Other"}) {
    Recipe recipe = {{{0, 32768, cabtest::archCopy(2577, "App", provider)}},
                 {{"APP.000", kSetup}}};
    recipe.folderReserveSize = 40;
    const Change run = change(cabtest::build(recipe), retarget());
    ASSERT_TRUE(run.verified);
    const bool faithful = std::strcmp(provider, "Provider") == 0;
    EXPECT_EQ(cabtest::get(run.image, 36 + 4 + 8, 4), faithful ? 4000u : 2577u);
  }
}

// The block records of folder 0 of a cabinet without reserves, in order.
std::vector<std::string> blockRecords(const std::string& cabinet) {
  std::vector<std::string> records;
  std::size_t at = cabtest::get(cabinet, 36, 4);
  for (std::uint32_t k = 0; k < cabtest::get(cabinet, 40, 2); ++k) {
    const std::size_t size = 8 + cabtest::get(cabinet, at + 4, 2);
    records.push_back(cabinet.substr(at, size));
    at += size;
  }
  return records;
}

// True when every MSZIP block of folder 0 decodes on its own against the
// block before it when that holds 32 KiB, and against nothing otherwise:
// then the sliding and the frame reading see the same history.
bool blocksKeepTheRule(const std::string& cabinet) {
  std::string previous;
  for (const std::string& record : blockRecords(cabinet)) {
    std::string out(cabtest::get(record, 6, 2), '\0');
    z_stream z = {};
    inflateInit2(&z, -15);
    if (previous.size() == 32768)
      inflateSetDictionary(&z, reinterpret_cast<const Bytef*>(previous.data()),
                           32768);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(record.data() + 10));
    z.avail_in = static_cast<uInt>(record.size() - 10);
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    if (result != Z_STREAM_END || z.avail_out != 0) return false;
    previous = out;
  }
  return true;
}

TEST_F(CabinetTest, OnlyBlocksThatMayReferToTheChangeAreEncodedAgain) {
  using cabtest::History;
  // The setup file 32000 bytes in: blocks of 2000 bytes never cover its
  // header's frame positions, so the frame reading's history holds the
  // change until the next full block, far beyond the 32 KiB behind it; but
  // a block behind a short one that refers back to nothing (as every block
  // there must, to mean the same to every reader) is kept as it is.
  std::vector<std::uint32_t> small(21, 2000);
  small[0] = 32768;
  const struct {
    const char* name;
    Recipe recipe;
    std::size_t encodedAgain;  // the first blocks; the others are kept
  } cases[] = {
      {"full blocks: the block of the change and the next",
       {{{1}}, {{"APP.000", kSetup}, {"big.001", filler(150000, 11)}}}, 2},
      {"short blocks: the block of the change and the one behind it",
       {{{1, 32768, "", small, History::None}},
        {{"pad.001", text(32000, 5)}, {"APP.000", kSetup},
         {"big.001", filler(106000, 6)}}},
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string cabinet = cabtest::build(c.recipe);
    const Change run = change(cabinet, retarget());
    ASSERT_TRUE(run.verified) << err();
    const auto before = blockRecords(cabinet), after = blockRecords(run.image);
    ASSERT_EQ(before.size(), after.size());
    ASSERT_GT(before.size(), c.encodedAgain);
    for (std::size_t k = 0; k < before.size(); ++k)
      EXPECT_EQ(before[k] == after[k], k >= c.encodedAgain) << "block " << k;
  }
}

// A packed MSZIP block, "CK" and a deflate stream written by hand.
std::string handPacked(const cabtest::DeflateWriter& stream) {
  return "CK" + stream.bytes();
}

// Folders of MSZIP blocks shorter than 32 KiB, and blocks of forms that
// libmspack reads otherwise than zlib: a change keeps the meaning every
// reader gives them, and refuses a cabinet whose blocks already mean
// different bytes (or nothing) to different readers.
TEST_F(CabinetTest, BlocksMeanTheSameToEveryReader) {
  using cabtest::DeflateWriter;
  using cabtest::DynamicHeader;
  using cabtest::History;
  using cabtest::Sent;
  // The setup file opens a block of 30000 bytes; a block of 3000 follows,
  // then one of 32 KiB that repeats the first, then 1000 bytes.
  const std::string first = kSetup + text(30000 - kSetup.size(), 1);
  const std::string rest =
      text(3000, 2, true) + (first + first).substr(0, 32768) + text(1000, 3);
  const std::vector<std::uint32_t> sizes = {30000, 3000, 32768, 1000};
  const std::vector<cabtest::Member> members = {
      {"APP.000", kSetup}, {"data.bin", first.substr(kSetup.size()) + rest}};
  const auto differs = [](const char* why) {
    return "Cabinet not handled: block 2 of folder 0 decodes differently in "
           "other readers (" + std::string(why) + ")\r\n";
  };
  const std::string block2 = differs("it refers back across a short block");

  // Hand-made blocks: block 2 (1000 bytes) of blocks of 32768, 32768, 1000
  // and 32768 bytes, none referring back, the change in block 0.
  const std::string stream =
      kSetup + text(2 * 32768 + 1000 + 5000 - kSetup.size(), 5);
  const std::string third = stream.substr(2 * 32768, 1000);
  const auto handMade = [&](const std::string& packed) {
    Recipe recipe = {{{1, 32768, "", {32768, 32768, 1000}, History::None}},
                     {{"APP.000", kSetup},
                      {"data.bin", stream.substr(kSetup.size())}}};
    recipe.folders[0].packed[2] = packed;
    return recipe;
  };
  const std::string zlibThird = "CK" + cabtest::zlibDeflate(third);
  // n empty stored blocks, then third stored, then extra bytes.
  const auto padded = [&](std::size_t n, const std::string& extra) {
    DeflateWriter w;
    for (std::size_t i = 0; i < n; ++i) w.stored("", false);
    w.stored(third, true);
    return handPacked(w) + extra;
  };
  // Dynamic blocks coding each byte in 9 bits and end-of-block in 1 or 2,
  // the code lengths sent one by one (each 1 bit long, or the code-length
  // code's lengths given); behindAnother: the first 500 bytes go in a
  // block of complete codes before it, which ends inside a byte.
  const std::vector<Sent> nines(256, {9, 0});
  const auto withNines = [&](DynamicHeader header) {
    header.sent.insert(header.sent.begin(), nines.begin(), nines.end());
    header.literalCode.insert(header.literalCode.begin(), 256, 9);
    return header;
  };
  const auto dynamicThird = [&](const DynamicHeader& header,
                                bool behindAnother = false) {
    DeflateWriter w;
    std::size_t from = 0;
    if (behindAnother) {
      w.dynamic(withNines({257, 2, {{9, 1}, {1, 1}},
                           {{1, 0}, {1, 0}, {1, 0}}, {1}}),
                third.substr(0, 500), false);
      from = 500;
    }
    w.dynamic(withNines(header), third.substr(from), true);
    return handPacked(w);
  };
  const std::string endOnly = [&] {
    // Non-final: 256 zero lengths (138 and 118), end-of-block 1 and two
    // distance codes of 1; then third stored.
    DeflateWriter w;
    std::vector<unsigned> code(256, 0);
    code.push_back(1);
    w.dynamic({257, 2, {{18, 1}, {1, 1}},
               {{18, 127}, {18, 107}, {1, 0}, {1, 0}, {1, 0}}, code},
              "", false);
    w.stored(third, true);
    return handPacked(w);
  }();

  const struct {
    const char* name;
    Recipe recipe;
    std::string refusal;  // empty: the change is made
  } cases[] = {
      {"full blocks, each against the last 32 KiB",
       {{{1}}, {{"APP.000", kSetup}, {"big.001", filler(100000, 7)}}},
       ""},
      {"short blocks without back-references",
       {{{1, 32768, "", sizes, History::None}}, members}, ""},
      {"short blocks against the last 32 KiB",
       {{{1, 32768, "", sizes, History::Sliding}}, members}, block2},
      {"short blocks against the frame",
       {{{1, 32768, "", sizes, History::Frame}}, members}, block2},
      {"blocks of 7 bytes, the header across 15 of them",
       {{{1, 7, "", {}, History::None}},
        {{"APP.000", kSetup}, {"x.001", text(300, 4)}}},
       ""},
      {"the setup file in a short block behind full ones",
       {{{1, 32768, "", {32768, 32768, 9000}, History::None}},
        {{"pad.001", text(70000, 8)}, {"APP.000", kSetup},
         {"x.001", text(40000, 9)}}},
       ""},
      // libmspack looks for "CK" behind the stream and decodes on there.
      {"\"CK\" and a stream behind the block's stream",
       handMade(zlibThird + "CK" + cabtest::zlibDeflate("XYZ")),
       differs("it holds \"CK\" behind its deflate stream")},
      {"other bytes behind the stream, the last a \"C\"",
       handMade(zlibThird + std::string("\0 junk C", 8)), ""},
      // cab.h CAB_INPUTMAX: 32768 + 6144 bytes.
      {"38,912 bytes, most of them empty stored blocks",
       handMade(padded(7581, "")), ""},
      {"38,913 bytes", handMade(padded(7581, std::string(1, '\0'))),
       differs("it holds more than 38912 compressed bytes")},
      // zlib takes these incomplete codes; libmspack builds only complete
      // ones.
      {"a single distance code, of length 1, behind another block",
       handMade(dynamicThird(
           {257, 1, {{9, 1}, {1, 1}}, {{1, 0}, {1, 0}}, {1}}, true)),
       differs("it has an incomplete distance code")},
      {"no distance code",
       handMade(dynamicThird(
           {257, 1, {{9, 1}, {1, 2}, {0, 2}}, {{1, 0}, {0, 0}}, {1}})),
       differs("it has an incomplete distance code")},
      {"a literal/length code of end-of-block alone", handMade(endOnly),
       differs("it has an incomplete literal/length code")},
      // A repeat (16) behind a run of zeros (17): zlib repeats the 0,
      // libmspack the 2 sent before, and then finds too many codes.
      {"a repeat of a length behind a run of zeros",
       handMade(dynamicThird({264, 2, {{9, 1}, {2, 3}, {1, 3}, {17, 3},
                                       {16, 3}},
                              {{2, 0}, {2, 0}, {17, 0}, {16, 0}, {1, 0},
                               {1, 0}},
                              {2, 2}})),
       differs("it repeats a code length behind a run of zeros")},
      {"a repeat behind a run of zeros, the last length sent a 0",
       handMade(dynamicThird({264, 3, {{9, 1}, {2, 3}, {0, 4}, {1, 4},
                                       {17, 3}, {16, 3}},
                              {{2, 0}, {2, 0}, {0, 0}, {17, 0}, {16, 0},
                               {1, 0}, {1, 0}},
                              {2, 2}})),
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::state().error.clear();
    const std::string cabinet = cabtest::build(c.recipe);
    ASSERT_FALSE(cabtest::extract(cabinet).empty());
    const Change run = change(cabinet, retarget());
    if (!c.refusal.empty()) {
      EXPECT_EQ(run.status, CabStatus::ReadersDiffer);
      EXPECT_EQ(err(), c.refusal);
      continue;
    }
    ASSERT_EQ(run.status, CabStatus::Ok) << err();
    EXPECT_TRUE(run.verified) << err();
    auto expected = cabtest::extract(cabinet);
    expected["APP.000"] = patchedSetup();
    EXPECT_EQ(cabtest::extract(run.image), expected);
    EXPECT_EQ(cabtest::extract(run.image, History::Frame, 0), expected);
    EXPECT_EQ(cabtest::extract(run.image, History::Frame, '\xFF'), expected);
    EXPECT_TRUE(blocksKeepTheRule(run.image));
  }
}

// Ranges of a cabinet held in a string, noting how far the reads went.
struct FarRead {
  const std::string* file;
  std::uint64_t furthest;
};

bool readFar(void* context, std::uint32_t offset, void* buffer,
             std::uint32_t size) {
  auto& far = *static_cast<FarRead*>(context);
  if (offset + std::uint64_t{size} > far.furthest)
    far.furthest = offset + std::uint64_t{size};
  return readRange(const_cast<std::string*>(far.file), offset, buffer, size);
}

// No heap block beyond 1 MiB: the display of a setup file of 8 MiB holds
// and decodes only what its header can refer to, the display of 65,535
// members with names of 255 bytes (a file table of 17 MiB) keeps none of
// the names, and a change over 5000 blocks of one byte keeps only the
// records it writes.
TEST_F(CabinetTest, MemoryFollowsWhatTheJobNeeds) {
  fake::state().allocLimit = 1 << 20;
  std::string big = kSetup + std::string((8 << 20) - kSetup.size(), 'z');
  const std::string large = cabtest::build({{{1}}, {{"APP.000", big}}});
  FarRead far = {&large, 0};
  const CabinetSource ranges = {nullptr,
                                static_cast<std::uint32_t>(large.size()),
                                readFar, &far, false};
  Cabinet parsed;
  SetupMember member = {};
  ASSERT_EQ(readCabinet(ranges, &parsed), CabStatus::Ok);
  far.furthest = 0;
  ASSERT_EQ(findSetupFile(ranges, &parsed, &member), CabStatus::Ok) << err();
  EXPECT_EQ(member.size, big.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(member.bytes), member.held),
            big.substr(0, kSetupFileReach));
  freeBlock(member.bytes);
  // 131197 bytes lie in the first five blocks of 32 KiB.
  const auto records = blockRecords(large);
  std::size_t fifth = cabtest::get(large, 36, 4);
  for (int k = 0; k < 5; ++k) fifth += records[k].size();
  EXPECT_EQ(far.furthest, fifth);

  // The setup file is the last member: its name is read again from the
  // table's end.
  std::vector<cabtest::Member> many(0xFFFF, {std::string(255, 'n'), ""});
  many.back() = {std::string(248, 'n') + "APP.000", kSetup};
  std::string named = cabtest::build({{{0}}, many});
  const CabinetSource table = {nullptr,
                               static_cast<std::uint32_t>(named.size()),
                               readRange, &named, false};
  Cabinet shown;
  ASSERT_EQ(readCabinet(table, &shown), CabStatus::Ok) << err();
  ASSERT_EQ(findSetupFile(table, &shown, &member), CabStatus::Ok) << err();
  freeBlock(member.bytes);
  char name[CabFormat::kMaxNameSize];
  EXPECT_STREQ(nameForError(shown, member.index, name),
               many.back().name.c_str());

  const std::string tiny = cabtest::build(
      {{{1, 1, "", {}, cabtest::History::None}},
       {{"APP.000", kSetup}, {"x.001", filler(4600, 5)}}});
  const Change run = change(tiny, retarget());
  ASSERT_EQ(run.status, CabStatus::Ok) << err();
  EXPECT_TRUE(run.verified) << err();
  EXPECT_EQ(cabtest::extract(run.image).at("x.001"), filler(4600, 5));
}

// A new image that would pass 4 GiB is refused before it is allocated.
// The second block repeats the second half of the first, so both readings
// give the third block the same history, which it refers back to; encoded
// anew behind the short block it has none and grows by some 11 KiB. The
// cabinet claims to end just below 4 GiB; its tables and blocks lie in its
// first bytes.
TEST_F(CabinetTest, NewImageOf4GiBIsRefused) {
  const std::string x = kSetup + text(16384 - kSetup.size(), 7);
  std::string cabinet = cabtest::build(
      {{{1, 32768, "", {32768, 16384}}},
       {{"pad.001", text(16384, 6)}, {"APP.000", kSetup},
        {"x.001", x.substr(kSetup.size()) + x + x + x}}});
  const std::uint32_t claimed = 0xFFFFFFF0u;
  cabtest::put(cabinet, 8, claimed, 4);
  const Change run = change(cabinet, retarget(), false, claimed);
  EXPECT_EQ(run.status, CabStatus::Unhandled);
  EXPECT_EQ(err(), "Cabinet not handled: the new cabinet would be 4 GiB or "
                   "more\r\n");
  EXPECT_EQ(fake::liveBlocks(), 0u);
}

TEST_F(CabinetTest, IncompressibleBlockIsWrittenAsStoredDeflate) {
  const std::string cabinet =
      cabtest::build({{{1}}, {{"APP.000", kSetup}, {"n.001", noise(70000)}}});
  const Change run = change(cabinet, retarget());
  ASSERT_TRUE(run.verified);
  // Block 1, all noise, is encoded anew: "CK", a stored deflate block's 5
  // bytes and the 32768 bytes, where zlib's own output would pass the
  // 32768 + 12 bytes an MSZIP block may hold.
  const std::uint32_t first = cabtest::get(run.image, 36, 4);
  const std::uint32_t second = first + 8 + cabtest::get(run.image, first + 4, 2);
  EXPECT_EQ(cabtest::get(run.image, second + 4, 2), 2u + 5 + 32768);
  EXPECT_EQ(cabtest::extract(run.image).at("n.001"), noise(70000));
}

TEST_F(CabinetTest, UnsignRemovesSignatureAndReserve) {
  for (std::uint8_t folderReserve : {0, 8}) {
    SCOPED_TRACE(static_cast<int>(folderReserve));
    Recipe recipe = {{{1}, {0}}, {{"APP.000", kSetup}, {"s.001", "stored", 1}}};
    recipe.folderReserveSize = folderReserve;
    recipe.signature = std::string(300, 'S');
    const std::string cabinet = cabtest::build(recipe);
    const Change run = change(cabinet, ChangeRequest{}, true);
    ASSERT_TRUE(run.verified) << err();
    // The signature's 20 bytes go, and its 4 reserve sizes when no other
    // reserve is left; the signature goes with them.
    const std::size_t removed = folderReserve == 0 ? 24 : 20;
    EXPECT_EQ(run.image.size(), cabinet.size() - 300 - removed);
    EXPECT_EQ(cabtest::get(run.image, 8, 4), run.image.size());
    EXPECT_EQ(cabtest::get(run.image, 30, 2), folderReserve == 0 ? 0u : 4u);
    EXPECT_EQ(cabtest::extract(run.image), cabtest::extract(cabinet));
  }
}

TEST_F(CabinetTest, SameValuesLeaveTheCabinetAlone) {
  ChangeRequest same = {};
  same.archGiven = true;
  same.arch = 2577;
  const Change run = change(cabtest::build({{{1}}, {{"APP.000", kSetup}}}),
                            same);
  EXPECT_EQ(run.status, CabStatus::Ok);
  EXPECT_TRUE(run.unchanged);
}

// The families of a cabinet's programs, the display's way (ranges of the
// file), from the pass that lists every setup file and from the change's
// pass over every block (the file in memory) alike.
TEST_F(CabinetTest, NamesTheFamiliesOfItsPrograms) {
  using cabtest::History;
  cabtest::PeFile dotNet, far;
  dotNet.machine = 0x014C;
  dotNet.cli = true;
  far.offset = 5000;  // past the 4 KiB looked at
  const std::string mips = peFile({0x0166}), sh3 = peFile({0x01A2, 600});
  const struct {
    const char* name;
    Recipe recipe;
    const char* families;
    bool widened = false;  // the first member covers the whole stream
  } cases[] = {
      {"stored, a program beside the setup file",
       {{{0}}, {{"APP.000", kSetup}, {"a.dll", peFile({})}}}, "ARM"},
      {"MSZIP blocks of 40 bytes: every header across blocks",
       {{{1, 40, "", {}, History::None}}, {{"APP.000", kSetup}, {"m.dll", mips},
                    {"n.dll", peFile(dotNet)}, {"s.exe", sh3}}},
       "MIPS, .NET, SH3"},
      {"a program behind 70000 bytes of MSZIP",
       {{{1}}, {{"APP.000", kSetup}, {"big", filler(70000, 3)},
                {"a.dll", peFile({})}}},
       "ARM"},
      {"member order, not stream order",
       {{{0}, {1}}, {{"x.dll", peFile({0x01A6}), 1}, {"APP.000", kSetup},
                     {"y.dll", peFile({})}}},
       "SH4, ARM"},
      {"no program",
       {{{1}}, {{"APP.000", kSetup}, {"far.dll", peFile(far)},
                {"tiny", peFile({}).substr(0, 63)}, {"t.txt", filler(900, 4)}}},
       "none"},
      {"heads that end out of place order",
       {{{1, 40, "", {}, History::None}}, {{"m.dll", mips}, {"APP.000", kSetup},
                    {"a.dll", peFile({0x01C0, 0x80, 6000})}}},
       "MIPS, ARM", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = cabtest::build(c.recipe);
    // A MIPS program of 1024 bytes widened over the stream of 7424 bytes:
    // the setup file and the ARM program start in its first 4 KiB, so
    // their heads are in first, yet wait for it, joined from the tail.
    if (c.widened) cabtest::put(file, cabtest::get(file, 16, 4), 7424, 4);
    ExactBytes bytes(file);
    const CabinetSource sources[] = {
        {nullptr, static_cast<std::uint32_t>(file.size()), readRange, &file,
         false},
        {bytes.data(), bytes.size(), nullptr, nullptr, false}};
    for (const CabinetSource& source : sources) {
      Cabinet parsed;
      SetupMember member = {};
      ProgramFamilies programs = {};
      CabinetScan scan = {};
      char text[kFamilyListSize];
      ASSERT_EQ(readCabinet(source, &parsed), CabStatus::Ok);
      ASSERT_EQ(findSetupFile(source, &parsed, &member, &programs),
                CabStatus::Ok);
      EXPECT_STREQ(formatProgramFamilies(programs, ", ", text), c.families);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(member.bytes),
                            member.size),
                kSetup);
      ASSERT_EQ(scanCabinet(source, &parsed, &scan), CabStatus::Ok);
      EXPECT_STREQ(formatProgramFamilies(scan.programs, ", ", text),
                   c.families);
      ASSERT_EQ(scan.setupCount, 1u);
      EXPECT_EQ(scan.setupIndices[0], member.index);
      freeBlock(scan.setupIndices);
      freeBlock(member.bytes);
      if (source.image == nullptr) continue;
      ChangePass pass;
      ASSERT_EQ(passCabinet(source, &parsed, retarget(), &pass), CabStatus::Ok);
      EXPECT_STREQ(formatProgramFamilies(pass.programs, ", ", text),
                   c.families);
      releaseChangePass(&pass);
    }
  }
  EXPECT_EQ(err(), "");
}

// A cabinet changed after it was built.
using Mutation = std::function<void(std::string&)>;

TEST_F(CabinetTest, RefusesWhatItCannotHandleSafely) {
  const Recipe plain = {{{0}}, {{"APP.000", kSetup}, {"other.001", "xyz"}}};
  const Recipe packed = {{{1}}, {{"APP.000", kSetup}}};
  Recipe signedRecipe = plain;
  signedRecipe.signature = "SIG";
  const std::size_t fileEntry = 36 + 8;  // the first, in plain
  // The one block of plain: its header, then the 403 bytes of both files.
  const std::size_t block = cabtest::build(plain).size() - 8 - 403;
  struct Refusal {
    const char* name;
    Recipe recipe;
    Mutation mutate;
    CabStatus status;
    const char* line;
  } refusals[] = {
      {"LZX folder", plain, [](std::string& c) { c[42] = 3; },
       CabStatus::Unhandled, "Cabinet not handled: folder 0 is LZX-compressed"},
      {"Quantum folder", plain, [](std::string& c) { c[42] = 2; },
       CabStatus::Unhandled,
       "Cabinet not handled: folder 0 is Quantum-compressed"},
      {"previous cabinet", plain, [](std::string& c) { c[30] = 1; },
       CabStatus::Unhandled, "Cabinet not handled: part of a cabinet set"},
      {"next cabinet", plain, [](std::string& c) { c[30] = 2; },
       CabStatus::Unhandled, "Cabinet not handled: part of a cabinet set"},
      {"continued file", plain,
       [&](std::string& c) { cabtest::put(c, fileEntry + 8, 0xFFFD, 2); },
       CabStatus::Unhandled,
       "Cabinet not handled: file \"APP.000\" continues in another cabinet"},
      {"split block", plain,
       [&](std::string& c) { cabtest::put(c, block + 6, 0, 2); },
       CabStatus::Unhandled,
       "Cabinet not handled: block 0 of folder 0 continues in another "
       "cabinet"},
      {"no setup file", {{{0}}, {{"a.001", filler(200, 1)}}}, nullptr,
       CabStatus::NoSetupFile, "No setup file in the cabinet"},
      {"two setup files",
       {{{0}, {1}}, {{"A.000", kSetup}, {"B.000", kSetup, 1}}}, nullptr,
       CabStatus::SeveralSetupFiles,
       "Cabinet not handled: 2 setup files (A.000, B.000)"},
      {"truncated", plain, [](std::string& c) { c.resize(c.size() - 1); },
       CabStatus::Damaged,
       "Damaged cabinet: cabinet size 505 does not fit the file (504 bytes)"},
      {"block beyond the cabinet", plain,
       [&](std::string& c) { cabtest::put(c, block + 4, 2000, 2); },
       CabStatus::Damaged,
       "Damaged cabinet: block 0 of folder 0 outside the cabinet"},
      {"checksum mismatch", plain, [&](std::string& c) { c[block + 30] ^= 1; },
       CabStatus::Damaged,
       "Damaged cabinet: checksum mismatch in block 0 of folder 0"},
      {"MSZIP block that does not decode", packed,
       [](std::string& c) {
         const std::size_t at = cabtest::get(c, 36, 4);
         c[at + 10] = static_cast<char>(0xFF);  // a reserved block type
         cabtest::put(c, at, 0, 4);              // and no checksum
       },
       CabStatus::Damaged,
       "Damaged cabinet: block 0 of folder 0 does not decode"},
      {"member outside its folder", plain,
       [&](std::string& c) { cabtest::put(c, fileEntry + 4, 10, 4); },
       CabStatus::Damaged,
       "Damaged cabinet: file \"APP.000\" lies outside its folder"},
      {"name of 256 bytes", {{{0}}, {{std::string(256, 'n'), kSetup}}},
       nullptr, CabStatus::Damaged,
       "Damaged cabinet: name of file 0 is longer than 255 bytes"},
      {"member on the setup file's header", plain,
       [&](std::string& c) {
         const std::size_t other = fileEntry + 16 + sizeof "APP.000";
         cabtest::put(c, other + 4, 44, 4);  // "xyz" over bytes 44 to 46
       },
       CabStatus::Unhandled,
       "Cabinet not handled: file \"other.001\" shares the setup file's "
       "header"},
      {"member on the platform list's length", plain,
       [&](std::string& c) {
         const std::size_t other = fileEntry + 16 + sizeof "APP.000";
         cabtest::put(c, other + 4, 93, 4);  // "xyz" over bytes 93 to 95
       },
       CabStatus::Unhandled,
       "Cabinet not handled: file \"other.001\" shares the setup file's "
       "header"},
      {"bytes behind the cabinet", plain, [](std::string& c) { c += "xx"; },
       CabStatus::Unhandled, "Cabinet not handled: 2 unknown bytes behind "
                             "its end"},
      {"signature cut short", signedRecipe,
       [](std::string& c) { c.resize(c.size() - 1); }, CabStatus::Damaged,
       "Damaged cabinet: signature outside the file"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    fake::state().error.clear();
    std::string cabinet = cabtest::build(refusal.recipe);
    if (refusal.mutate) refusal.mutate(cabinet);
    const Change run = change(cabinet, retarget());
    EXPECT_EQ(run.status, refusal.status);
    EXPECT_EQ(err(), std::string(refusal.line) + "\r\n");
  }
  EXPECT_EQ(out(), "");
}

// Every way the new cabinet can fail to take the old one's place: the
// old one stays as it was, no temporary file is left, nothing is held.
TEST_F(CabinetTest, AFailedReplacementLeavesTheCabinetAlone) {
  const std::string cabinet =
      cabtest::build({{{1}}, {{"APP.000", kSetup}, {"x.001", "x"}}});
  using State = fake::State;
  const struct {
    const char* name;
    void (*fault)(State&);
    std::uint32_t code;
    const char* error;
  } cases[] = {
      {"no fault", [](State&) {}, kExitOk, ""},
      {"temporary file refused",
       [](State& s) { s.tempError = fake::kErrorAccessDenied; },
       kExitReplaceFailed,
       "Cannot create a temporary file beside \"a.cab\" (0/5 - Access is "
       "denied.); the cabinet is unchanged"},
      {"write fails", [](State& s) { s.writeError = fake::kErrorWriteFault; },
       kExitReplaceFailed,
       "Cannot write the new cabinet (0/29 - The system cannot write to the "
       "specified device.); the cabinet is unchanged"},
      {"flush fails", [](State& s) { s.flushError = fake::kErrorWriteFault; },
       kExitReplaceFailed,
       "Cannot write the new cabinet (0/29 - The system cannot write to the "
       "specified device.); the cabinet is unchanged"},
      {"write limit", [](State& s) { s.writeLimit = 100; }, kExitReplaceFailed,
       "Cannot write the new cabinet (0/223 - The file size exceeds the limit "
       "allowed and cannot be saved.); the cabinet is unchanged"},
      {"name taken by another file",
       [](State& s) { s.identityChanges = true; }, kExitReplaceFailed,
       "File \"a.cab\" was replaced while it was read; nothing written"},
      {"replace fails",
       [](State& s) { s.replaceError = fake::kErrorAccessDenied; },
       kExitReplaceFailed,
       "Cannot replace \"a.cab\" (0/5 - Access is denied.); the cabinet is "
       "unchanged"},
      {"cut after the read", [](State& s) { s.sizeAfterRead = 10; },
       kExitReadFailed, "File changed while it was read"},
      {"rewritten while the new cabinet is flushed",
       [](State& s) { s.rewrittenAtFlush = true; }, kExitReadFailed,
       "File changed while it was read"},
      {"link that cannot be followed",
       [](State& s) { s.linkError = fake::kErrorAccessDenied; },
       kExitReplaceFailed,
       "Cannot follow the link \"a.cab\" (0/5 - Access is denied.); the "
       "cabinet is unchanged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    fake::addFile("a.cab", cabinet);
    c.fault(fake::state());
    Command command = {};
    command.action = Action::Change;
    std::strcpy(command.path, "a.cab");
    command.changes.archGiven = true;
    command.changes.arch = 4000;
    EXPECT_EQ(processFile(command), c.code);
    EXPECT_EQ(err(), *c.error ? std::string(c.error) + "\r\n" : "");
    EXPECT_EQ(out(), "Arch set to 4000 (MIPS_R4000)\r\n");
    ASSERT_EQ(fake::state().files.size(), 1u);  // no temporary file
    const std::string& now = fake::state().files.at("a.cab").bytes;
    if (c.code == kExitOk) {
      EXPECT_EQ(cabtest::extract(now).at("x.001"), "x");
    } else {
      // As it was, or as the other process left it.
      const long long cut = fake::state().sizeAfterRead;
      EXPECT_EQ(now, cut < 0 ? cabinet : cabinet.substr(0, 10));
    }
    EXPECT_EQ(fake::liveBlocks(), 0u);
    EXPECT_EQ(fake::openFiles(), 0u);
  }
}

TEST(CabinetChecksum, FoldsLeftoverBytesFirstByteHighest) {
  const auto sum = [](const char* text, std::uint32_t seed) {
    return cabChecksum(reinterpret_cast<const unsigned char*>(text),
                       static_cast<std::uint32_t>(std::strlen(text)), seed);
  };
  EXPECT_EQ(sum("abcdefg", 0), 0x64060406u);
  EXPECT_EQ(sum("abcdef", 0), 0x64630707u);
  EXPECT_EQ(sum("abcde", 7), 0x64636203u);
  EXPECT_EQ(sum("", 0x12345678), 0x12345678u);
}

}  // namespace

// FileProcessingTest.cpp - one command on its file, through the fake
// platform: every exit code with its message, what is written back, and the
// release of the file and its buffer on every path.
#include <functional>
#include <string>

#include "TestSupport.h"
#include "app/ExitCodes.h"
#include "app/FileProcessing.h"

namespace {

// A valid setup file with a tail of bytes behind the header and texts.
std::string validFile() {
  SetupFile file;
  file.u32(20, 2577).u32(24, 3).u32(28, 0).u32(32, 4).u32(36, 21);
  file.u16(48, 13).u16(50, 4).u16(52, 7).u16(54, 4).u16(56, 7).u16(58, 4);
  file.appendText(SetupHeader::kProviderText,
                  std::string("Microsoft\0", 10));
  file.appendText(SetupHeader::kAppNameText,
                  std::string("Blackjack Sample\0", 17));
  file.appendText(SetupHeader::kPlatformsText,
                  std::string("PALM PC\0HPC\0", 12));
  for (int i = 0; i < 200; ++i) file.bytes += static_cast<char>(i);
  return file.bytes;
}

const std::string kReport = crlfLines({
    "",
    "Provider: Microsoft",
    "App name: Blackjack Sample",
    "Architecture: 2577 (StrongARM)",
    "WinCE version min: 3.0 build 0",
    "WinCE version max: 4.21 build 0",
    "Number of strings: 13",
    "Number of dirs: 4",
    "Number of files: 7",
    "Number of registry hives: 4",
    "Number of registry keys: 7",
    "Number of links: 4",
    "Unsupported platforms: PALM PC, HPC",
});

Command makeCommand(Action action, const char* path) {
  Command command = {};
  command.action = action;
  std::strcpy(command.path, path);
  return command;
}

Command changeArch(std::uint32_t code) {
  Command command = makeCommand(Action::Change, "f.000");
  command.changes.archGiven = true;
  command.changes.arch = code;
  return command;
}

class FileProcessingTest : public FakePlatformTest {
 protected:
  // Everything acquired was released, and only through the fake.
  static void expectReleased() {
    EXPECT_EQ(fake::liveBlocks(), 0u);
    EXPECT_EQ(fake::openFiles(), 0u);
    EXPECT_EQ(fake::state().badFrees, 0u);
    EXPECT_EQ(fake::state().badCloses, 0u);
    EXPECT_EQ(fake::state().closes, fake::state().opens);
    EXPECT_EQ(fake::state().elsewhere, "");
  }
};

TEST_F(FileProcessingTest, Failures) {
  const std::string valid = validFile();
  std::string badSignature = valid;
  badSignature.replace(0, 4, "msce");
  struct Case {
    const char* name;
    Action action;
    std::string bytes;
    std::function<void(fake::State&)> fault;
    std::uint32_t exitCode;
    std::string error;
    std::string output;
  };
  const auto none = [](fake::State&) {};
  const Case cases[] = {
      {"missing file", Action::Display, "", [](fake::State& s) {
         s.files.clear();
       },
       kExitOpenFailed,
       "Cannot open \"f.000\" (0/2 - The system cannot find the file "
       "specified.)",
       ""},
      {"open denied", Action::Display, valid, [](fake::State& s) {
         s.openError = fake::kErrorAccessDenied;
       },
       kExitOpenFailed, "Cannot open \"f.000\" (0/5 - Access is denied.)", ""},
      {"open fails with a customer code", Action::Display, valid,
       [](fake::State& s) { s.openError = 0x20040005; }, kExitOpenFailed,
       "Cannot open \"f.000\" (u4/5)", ""},
      {"read-only file changed", Action::Change, valid, [](fake::State& s) {
         s.files["f.000"].readOnly = true;
       },
       kExitOpenFailed, "Cannot open \"f.000\" (0/5 - Access is denied.)", ""},
      {"empty file", Action::Display, "", none, kExitOpenFailed,
       "Cannot get file size (0/0)", ""},
      {"size unknown", Action::Display, valid, [](fake::State& s) {
         s.sizeMode = fake::SizeMode::Failed;
         s.sizeError = fake::kErrorAccessDenied;
       },
       kExitOpenFailed, "Cannot get file size (0/5 - Access is denied.)", ""},
      {"4 GiB or more", Action::Display, valid, [](fake::State& s) {
         s.sizeMode = fake::SizeMode::TooLarge;
       },
       kExitOpenFailed, "File \"f.000\" is too large (4 GiB or more)", ""},
      {"no memory for the buffer", Action::Display, valid, [](fake::State& s) {
         s.allocLimit = 100;
       },
       kExitNoMemory,
       "Cannot allocate " + std::to_string(valid.size()) +
           " bytes for file buffer",
       ""},
      {"read fails", Action::Display, valid, [](fake::State& s) {
         s.readError = fake::kErrorAccessDenied;
       },
       kExitReadFailed, "Cannot read file (0/5 - Access is denied.)", ""},
      {"read comes back short", Action::Change, valid, [](fake::State& s) {
         s.readShortBy = 1;
       },
       kExitReadFailed, "Cannot read file (0/38 - Reached the end of the file.)",
       ""},
      {"bad signature, display", Action::Display, badSignature, none,
       kExitBadHeader, "Invalid MSCE header signature", ""},
      {"bad signature, change", Action::Change, badSignature, none,
       kExitBadHeader, "Invalid MSCE header signature", ""},
      {"text outside the file", Action::Change,
       SetupFile().text(SetupHeader::kAppNameText, 100, 1).bytes, none,
       kExitBadHeader, "Invalid string size in a file", ""},
      {"shorter than a header", Action::Change, valid.substr(0, 99), none,
       kExitBadHeader, "File too short for an MSCE header (99 bytes, 100 needed)",
       ""},
      {"seek fails", Action::Change, valid, [](fake::State& s) {
         s.seekError = fake::kErrorSeek;
       },
       kExitSeekFailed,
       "Cannot set file position (0/25 - The drive cannot locate a specific "
       "area or track on the disk. )",
       "Arch set to 2336 (ARM_920)\r\n"},
      {"write fails", Action::Change, valid, [](fake::State& s) {
         s.writeError = fake::kErrorWriteFault;
       },
       kExitWriteFailed,
       "Cannot write file (0/29 - The system cannot write to the specified "
       "device.); the file is unchanged",
       "Arch set to 2336 (ARM_920)\r\n"},
      {"write comes back short", Action::Change, valid, [](fake::State& s) {
         s.writeShortBy = 1;
       },
       kExitWriteFailed,
       "Cannot write file (0/0); the header could not be restored",
       "Arch set to 2336 (ARM_920)\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    fake::addFile("f.000", c.bytes);
    c.fault(fake::state());
    Command command = c.action == Action::Change
                          ? changeArch(2336)
                          : makeCommand(Action::Display, "f.000");
    EXPECT_EQ(processFile(command), c.exitCode);
    EXPECT_EQ(err(), c.error + "\r\n");
    EXPECT_EQ(out(), c.output);
    expectReleased();
    if (c.exitCode < kExitSeekFailed) {
      // Nothing was written, so the file is as it was.
      EXPECT_TRUE(fake::state().fileWrites.empty());
      if (fake::state().files.count("f.000") != 0) {
        EXPECT_EQ(fake::state().files["f.000"].bytes, c.bytes);
      }
    }
  }
}

// A change is written whole or not at all: the file afterwards is either
// the changed one or the original, apart from a restore that failed too.
TEST_F(FileProcessingTest, HeaderWriteIsAllOrNothing) {
  const std::string valid = validFile();
  SetupFile changed;
  changed.bytes = valid;
  changed.u32(20, 2336);
  const std::string lines = "Arch set to 2336 (ARM_920)\r\n";
  const std::string diskFull =
      "Cannot write file (0/112 - There is not enough space on the disk.)";
  struct Case {
    const char* name;
    std::function<void(fake::State&)> fault;
    std::uint32_t exitCode;
    std::string error;
    std::string after;
    std::size_t writes;
  };
  const Case cases[] = {
      {"no fault", [](fake::State&) {}, kExitOk, "", changed.bytes, 1},
      {"write limit below the header", [](fake::State& s) {
         s.writeLimit = 99;
       },
       kExitWriteFailed,
       "Cannot write file (0/223 - The file size exceeds the limit allowed "
       "and cannot be saved.); the file is unchanged\r\n",
       valid, 0},
      {"write limit at the header", [](fake::State& s) {
         s.writeLimit = 100;
       },
       kExitOk, "", changed.bytes, 1},
      {"write stops after 30 bytes and is undone", [](fake::State& s) {
         s.writeError = fake::kErrorDiskFull;
         s.writeShortBy = 70;
         s.faultyWrites = 1;
       },
       kExitWriteFailed, diskFull + "; the file is unchanged\r\n", valid, 2},
      {"write stops after 30 bytes, and so does the undoing",
       [](fake::State& s) {
         s.writeError = fake::kErrorDiskFull;
         s.writeShortBy = 70;
       },
       kExitWriteFailed,
       diskFull + "; the header could not be restored\r\n",
       changed.bytes.substr(0, 30) + valid.substr(30), 2},
      {"file cut after it was read", [](fake::State& s) {
         s.sizeAfterRead = 50;
       },
       kExitReadFailed, "File changed while it was read\r\n",
       valid.substr(0, 50), 0},
      {"file grown after it was read", [&valid](fake::State& s) {
         s.sizeAfterRead = static_cast<long long>(valid.size()) + 1;
       },
       kExitReadFailed, "File changed while it was read\r\n",
       valid + std::string(1, '\0'), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    fake::addFile("f.000", valid);
    c.fault(fake::state());
    EXPECT_EQ(processFile(changeArch(2336)), c.exitCode);
    EXPECT_EQ(out(), lines);
    EXPECT_EQ(err(), c.error);
    EXPECT_EQ(fake::state().files["f.000"].bytes, c.after);
    EXPECT_EQ(fake::state().fileWrites.size(), c.writes);
    expectReleased();
  }
}

TEST_F(FileProcessingTest, DisplayReadsWithoutWriting) {
  const std::string valid = validFile();
  fake::addFile("dir\\my file.000", valid, /*readOnly=*/true);
  EXPECT_EQ(processFile(makeCommand(Action::Display, "dir\\my file.000")),
            kExitOk);
  EXPECT_EQ(out(), kReport);
  EXPECT_EQ(err(), "");
  EXPECT_EQ(fake::state().lastOpenPath, "dir\\my file.000");
  EXPECT_FALSE(fake::state().lastOpenForWriting);
  EXPECT_EQ(fake::state().opens, 1u);
  EXPECT_EQ(fake::state().allocSizes, std::vector<std::size_t>{valid.size()});
  EXPECT_TRUE(fake::state().fileWrites.empty());
  EXPECT_EQ(fake::state().files["dir\\my file.000"].bytes, valid);
  expectReleased();
}

TEST_F(FileProcessingTest, ChangeWritesOnlyTheHeaderAtOffsetZero) {
  const std::string valid = validFile();
  Command command = changeArch(70001);
  command.changes.minVersionGiven = true;
  command.changes.minVersion = {4, 21, 100};
  command.changes.maxVersionGiven = true;
  command.changes.maxVersion = {5, 2, 3758096384u};
  fake::addFile("f.000", valid);

  EXPECT_EQ(processFile(command), kExitOk);
  EXPECT_EQ(out(), crlfLines({"Arch set to 70001 (ARM_7TDMI)",
                              "Min ver set to 4.21 build 100",
                              "Max ver set to 5.2 build 3758096384"}));
  EXPECT_EQ(err(), "");
  EXPECT_TRUE(fake::state().lastOpenForWriting);

  SetupFile expected;
  expected.bytes = valid;
  expected.u32(20, 70001).u32(24, 4).u32(28, 21).u32(40, 100);
  expected.u32(32, 5).u32(36, 2).u32(44, 3758096384u);
  ASSERT_EQ(fake::state().fileWrites.size(), 1u);
  const fake::FileWrite& write = fake::state().fileWrites[0];
  EXPECT_EQ(write.path, "f.000");
  EXPECT_EQ(write.offset, 0u);
  EXPECT_EQ(write.bytes, expected.bytes.substr(0, SetupHeader::kSize));
  // Same length, same bytes behind the header.
  EXPECT_EQ(fake::state().files["f.000"].bytes, expected.bytes);
  expectReleased();
}

TEST_F(FileProcessingTest, ChangeOfOneFieldLeavesTheOthers) {
  const std::string valid = validFile();
  Command command = makeCommand(Action::Change, "f.000");
  command.changes.maxVersionGiven = true;
  command.changes.maxVersion = {6, 0, 0};
  fake::addFile("f.000", valid);
  EXPECT_EQ(processFile(command), kExitOk);
  EXPECT_EQ(out(), "Max ver set to 6.0 build 0\r\n");
  SetupFile expected;
  expected.bytes = valid;
  expected.u32(32, 6).u32(36, 0).u32(44, 0);
  EXPECT_EQ(fake::state().files["f.000"].bytes, expected.bytes);
  expectReleased();
}

}  // namespace

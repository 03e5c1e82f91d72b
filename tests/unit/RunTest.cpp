// RunTest.cpp - the run sequence: usage text and listing, the action
// letter, the exit codes of the frame, and the process entry.
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/ExitCodes.h"
#include "app/Run.h"
#include "runtime/Runtime.h"

namespace {

const std::string kUsage =
    "\n"
    "setuphdr 1.0.0.210 Copyright (c) 2026 the setuphdr authors\n"
    "\n"
    "Command line: <action> [<options>] <MSCE file>\n"
    "\n"
    "Actions:\n"
    "\n"
    "d - display MSCE file header\n"
    "c - change header fields\n"
    "l - list the setup files in files and folders, one row each\n"
    "\n"
    "Options:\n"
    "\n"
    "-arch <code>|<name> - architecture\n"
    "-vermin <major>[.<minor>[.<build>]] - minimal CE version\n"
    "-vermax <major>[.<minor>[.<build>]] - maximal CE version\n"
    "-unsign - remove the signature of a signed cabinet (.cab)\n"
    "-allplatforms - clear the unsupported platforms list\n"
    "-json - list as JSON Lines, one object per setup file\n"
    "\r\n"
    "Architecture codes and names:\n"
    "\r\n"
    "    0 Any\r\n"
    "  103 SHx_SH3\r\n"
    "  104 SHx_SH4\r\n"
    "  386 i386\r\n"
    "  486 i486\r\n"
    "  586 Pentium\r\n"
    "  601 PowerPC_601\r\n"
    "  603 PowerPC_603\r\n"
    "  604 PowerPC_604\r\n"
    "  620 PowerPC_620\r\n"
    "  821 Motorola_821\r\n"
    " 1824 ARM_720\r\n"
    " 2080 ARM_820\r\n"
    " 2336 ARM_920\r\n"
    " 2577 StrongARM\r\n"
    " 4000 MIPS_R4000\r\n"
    "10003 Hitachi_SH3\r\n"
    "10004 Hitachi_SH3E\r\n"
    "10005 Hitachi_SH4\r\n"
    "21064 Alpha_21064\r\n"
    "70001 ARM_7TDMI\r\n";

// A small valid file and its report.
std::string sampleFile() {
  SetupFile file;
  file.u32(20, 386);
  file.appendText(SetupHeader::kProviderText, std::string("P\0", 2));
  file.appendText(SetupHeader::kAppNameText, std::string("A\0", 2));
  return file.bytes;
}

const std::string kSampleReport = crlfLines({
    "", "Provider: P", "App name: A", "Architecture: 386 (i386)",
    "WinCE version min: 0.0 build 0", "WinCE version max: 0.0 build 0",
    "Number of strings: 0", "Number of dirs: 0", "Number of files: 0",
    "Number of registry hives: 0", "Number of registry keys: 0",
    "Number of links: 0"});

class RunTest : public FakePlatformTest {
 protected:
  // After every run that got its streams: both closed, output first, the
  // runtime stopped and nothing left over.
  static void expectClosedDown() {
    EXPECT_EQ(fake::state().closedStreams,
              (std::vector<platform::Handle>{fake::kOutput, fake::kError}));
    EXPECT_EQ(gConsole.output, platform::kNoHandle);
    EXPECT_EQ(gConsole.error, platform::kNoHandle);
    EXPECT_FALSE(appStarted());
    EXPECT_EQ(fake::liveBlocks(), 0u);
    EXPECT_EQ(fake::openFiles(), 0u);
    EXPECT_EQ(fake::state().badFrees, 0u);
    EXPECT_EQ(fake::state().badCloses, 0u);
    EXPECT_EQ(fake::state().elsewhere, "");
  }
};

TEST_F(RunTest, Runs) {
  struct Case {
    std::string arguments;
    std::uint32_t exitCode;
    std::string output;
    std::string error;
  };
  const Case cases[] = {
      {"", kExitUsage, kUsage, ""},
      {" \t  ", kExitUsage, kUsage, ""},
      {"dc", kExitCommandLine, "", "Invalid action specifier"},
      {"-arch 5 f.000", kExitCommandLine, "", "Invalid action specifier"},
      {"d-arch 5 f.000", kExitCommandLine, "", "Invalid action specifier"},
      {"\"d\" f.000", kExitCommandLine, "", "Invalid action specifier"},
      {"D f.000", kExitCommandLine, "", "Unknown action \"D\""},
      {"C f.000", kExitCommandLine, "", "Unknown action \"C\""},
      {"x", kExitCommandLine, "", "Unknown action \"x\""},
      {"\t-", kExitCommandLine, "", "Unknown action \"-\""},
      {"d", kExitCommandLine, "", "No file specified"},
      {"c f.000", kExitCommandLine, "", "No fields to change"},
      {"d -arch 5 f.000", kExitCommandLine, "",
       "Invalid option for the action"},
      {"d f.000", kExitOk, kSampleReport, ""},
      {"  d\tf.000 ", kExitOk, kSampleReport, ""},
      {"c -arch ARM_920 f.000", kExitOk, "Arch set to 2336 (ARM_920)\r\n", ""},
      {"d missing.000", kExitOpenFailed, "",
       "Cannot open \"missing.000\" (0/2 - The system cannot find the file "
       "specified.)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    fake::reset();
    fake::addFile("f.000", sampleFile());
    EXPECT_EQ(runCommand(c.arguments.c_str()), c.exitCode);
    EXPECT_EQ(out(), c.output);
    EXPECT_EQ(err(), c.error.empty() ? "" : c.error + "\r\n");
    expectClosedDown();
  }
}

// An output stream that takes no bytes: nothing more is printed after the
// first line, one error line says so, and only a report that was lost
// turns into a failure; a change stays made and keeps its code.
TEST_F(RunTest, OutputThatCannotBeWritten) {
  const std::string lost =
      "Cannot write output (0/112 - There is not enough space on the disk.)"
      "\r\n";
  SetupFile changed;
  changed.bytes = sampleFile();
  changed.u32(20, 5);
  struct Case {
    const char* arguments;
    std::uint32_t writeError;
    std::uint32_t exitCode;
    std::string error;
    std::string fileAfter;
  };
  const Case cases[] = {
      {"d f.000", 0, kExitOutputFailed, lost, sampleFile()},
      {"c -arch 5 f.000", 0, kExitOk, lost, changed.bytes},
      {"c -arch 5 f.000", fake::kErrorWriteFault, kExitWriteFailed,
       "Cannot write file (0/29 - The system cannot write to the specified "
       "device.); the file is unchanged\r\n" + lost,
       sampleFile()},
      {"", 0, kExitUsage, lost, sampleFile()},
      {"x", 0, kExitCommandLine, "Unknown action \"x\"\r\n", sampleFile()},
      {"d f.000 -arch 5", 0, kExitCommandLine,
       "Invalid option for the action\r\n", sampleFile()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    fake::reset();
    fake::addFile("f.000", sampleFile());
    fake::state().outputWriteError = fake::kErrorDiskFull;
    fake::state().writeError = c.writeError;
    EXPECT_EQ(runCommand(c.arguments), c.exitCode);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(err(), c.error);
    EXPECT_EQ(fake::state().files["f.000"].bytes, c.fileAfter);
    expectClosedDown();
  }
}

TEST_F(RunTest, NoStandardHandlesEndsQuietly) {
  fake::state().stdHandlesUsable = false;
  fake::addFile("f.000", sampleFile());
  EXPECT_EQ(runCommand("d f.000"), kExitNoStdHandles);
  EXPECT_EQ(out() + err() + fake::state().elsewhere, "");
  EXPECT_TRUE(fake::state().closedStreams.empty());
  EXPECT_EQ(gConsole.output, platform::kNoHandle);
  EXPECT_EQ(gConsole.error, platform::kNoHandle);
  EXPECT_EQ(fake::state().allocCalls, 0u);
  EXPECT_EQ(fake::state().opens, 0u);
}

TEST_F(RunTest, RuntimeStartFailure) {
  const std::function<void(fake::State&)> faults[] = {
      [](fake::State& s) { s.versionSupported = false; },
      [](fake::State& s) { s.failAllocCall = 1; },
  };
  for (const auto& fault : faults) {
    fake::reset();
    fake::addFile("f.000", sampleFile());
    fault(fake::state());
    EXPECT_EQ(runCommand("d f.000"), kExitRuntimeFailed);
    EXPECT_EQ(err(), "Cannot initialize application\r\n");
    EXPECT_EQ(out(), "");
    EXPECT_EQ(fake::state().opens, 0u);
    expectClosedDown();
  }
}

// startTool ends the process; the fake brings control back with the code.
struct Entry {
  std::vector<const char*> argv;
};

void runEntry(void* context) {
  const auto* entry = static_cast<const Entry*>(context);
  startTool(static_cast<int>(entry->argv.size()), entry->argv.data());
}

TEST_F(RunTest, StartToolFromTheSystemCommandLine) {
  struct Case {
    const char* commandLine;
    long long exitCode;
    std::string output;
  };
  const Case cases[] = {
      {"\"C:\\Program Files\\setuphdr.exe\" d f.000", kExitOk, kSampleReport},
      {"\"C:\\Program Files\\setuphdr.exe\"d f.000", kExitOk, kSampleReport},
      {"setuphdr.exe  d f.000", kExitOk, kSampleReport},
      {"setuphdr.exe", kExitUsage, kUsage},
      {"\"C:\\Program Files\\setuphdr.exe d f.000", kExitUsage, kUsage},
      {"setuphdr.exe X", kExitCommandLine, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    fake::reset();
    fake::addFile("f.000", sampleFile());
    fake::state().commandLine = c.commandLine;
    Entry entry{{"ignored", "X"}};
    EXPECT_EQ(fake::catchExit(runEntry, &entry), c.exitCode);
    EXPECT_EQ(out(), c.output);
    EXPECT_TRUE(fake::state().processStarted);
    expectClosedDown();
  }
}

TEST_F(RunTest, StartToolFromArgv) {
  struct Case {
    std::vector<const char*> argv;
    const char* file;
    long long exitCode;
    std::string output;
  };
  const Case cases[] = {
      {{"setuphdr"}, "f.000", kExitUsage, kUsage},
      {{"setuphdr", "d", "f.000"}, "f.000", kExitOk, kSampleReport},
      {{"setuphdr", "d", "my file.000"}, "my file.000", kExitOk,
       kSampleReport},
      {{"setuphdr", "c", "-arch", "i486", "say \"hi\""}, "say \"hi\"",
       kExitOk, "Arch set to 486 (i486)\r\n"},
      {{"setuphdr", "d", ""}, "f.000", kExitCommandLine, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.size() > 2 ? c.argv[2] : "-");
    fake::reset();
    fake::addFile(c.file, sampleFile());
    Entry entry{c.argv};
    EXPECT_EQ(fake::catchExit(runEntry, &entry), c.exitCode);
    EXPECT_EQ(out(), c.output);
    expectClosedDown();  // including the joined text
  }
}

}  // namespace

namespace {

// Without memory for the joined argv the run cannot start.
TEST_F(RunTest, StartToolWithoutMemoryForArgv) {
  fake::reset();
  fake::addFile("f.000", sampleFile());
  fake::state().failAllocCall = 1;  // the joined text is the first block
  Entry entry{{"setuphdr", "d", "f.000"}};
  EXPECT_EQ(fake::catchExit(runEntry, &entry), kExitRuntimeFailed);
  EXPECT_EQ(err(), "Cannot initialize application\r\n");
  EXPECT_EQ(out(), "");
  expectClosedDown();
}

}  // namespace

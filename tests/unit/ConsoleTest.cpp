// ConsoleTest.cpp - message lines, error texts and the runtime frame.
#include <string>
#include <vector>

#include "TestSupport.h"
#include "runtime/Runtime.h"

namespace {

// writeLine with a chosen line end, through a variadic front.
void writeTo(platform::Handle handle, bool lineEnd, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(handle, format, args, lineEnd);
  va_end(args);
}

using ConsoleTest = FakePlatformTest;

TEST_F(ConsoleTest, MessageIsCutAt1021CharactersBeforeTheLineEnd) {
  struct Case {
    std::size_t length;
    std::size_t kept;
  };
  const Case cases[] = {{0, 0}, {1020, 1020}, {1021, 1021}, {1022, 1021},
                        {5000, 1021}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    fake::reset();
    std::string text(c.length, 'x');
    if (c.length > 0) text[0] = 'a';
    printMessage("%s", text.c_str());
    EXPECT_EQ(out(), text.substr(0, c.kept) + "\r\n");
  }
}

TEST_F(ConsoleTest, FormatsAndLineEnds) {
  struct Case {
    const char* format;
    std::string expected;
  };
  const Case cases[] = {
      {"", "\r\n"},
      {"\n", "\n\r\n"},
      {"a\nb", "a\nb\r\n"},
      {"%5u|%u|%c|%s", "   42|4294967295|Z|text\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    fake::reset();
    printMessage(c.format, 42u, 4294967295u, 'Z', "text");
    EXPECT_EQ(out(), c.expected);
    EXPECT_EQ(err(), "");
  }
}

TEST_F(ConsoleTest, EachMessageIsOneWholeWriteToItsStream) {
  reportError("bad %u", 7u);
  printMessage("good");
  writeTo(fake::kOutput, false, "%s", "bare");
  writeTo(fake::kOutput, false, "%s", std::string(1500, 'y').c_str());
  EXPECT_EQ(err(), "bad 7\r\n");
  EXPECT_EQ(out(), "good\r\nbare" + std::string(1021, 'y'));
  EXPECT_EQ(fake::state().elsewhere, "");
}

TEST_F(ConsoleTest, FirstFailedOutputLineIsRememberedAndStopsTheOutput) {
  printMessage("before");
  std::uint32_t code = 0;
  EXPECT_FALSE(outputFailed(&code));

  fake::state().outputWriteError = fake::kErrorDiskFull;
  printMessage("lost");
  EXPECT_TRUE(outputFailed(&code));
  EXPECT_EQ(code, fake::kErrorDiskFull);

  // Even once the stream would take bytes again, nothing more is written,
  // and the first error is the one kept.
  fake::state().outputWriteError = fake::kErrorWriteFault;
  printMessage("also lost");
  fake::state().outputWriteError = 0;
  printMessage("after");
  EXPECT_TRUE(outputFailed(&code));
  EXPECT_EQ(code, fake::kErrorDiskFull);
  EXPECT_EQ(out(), "before\r\n");

  // The error stream is not affected, and its own failure is not kept.
  reportError("still here");
  fake::state().errorWriteError = fake::kErrorWriteFault;
  reportError("nowhere");
  EXPECT_EQ(err(), "still here\r\n");
  EXPECT_EQ(code, fake::kErrorDiskFull);
}

TEST_F(ConsoleTest, MaskControlBytes) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"", ""},
      // The edges: 0x01 and 0x1F are masked, the blank and '~' are not.
      {"a\x01" "b\x1f c~", "a?b? c~"},
      // Title change (OSC ... BEL), clipboard write, CR over a line.
      {"\x1b]0;t\x07\x1b]52;c;SGk=\x1b\\x\ry", "?]0;t??]52;c;SGk=?\\x?y"},
      // DEL is masked; code-page bytes from 0x80 up (0x9B too) are not.
      {"\x7f\x80\x9b\xe9\xff", "?\x80\x9b\xe9\xff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::vector<char> text(c.text.begin(), c.text.end());
    text.push_back('\0');
    maskControlBytes(text.data());
    EXPECT_EQ(std::string(text.data()), c.expected);
  }
}

TEST_F(ConsoleTest, DescribeErrorPrefixAndText) {
  struct Case {
    std::uint32_t code;
    std::size_t capacity;
    const char* expected;
  };
  const Case cases[] = {
      {2, 256, "0/2 - The system cannot find the file specified."},
      // One trailing blank goes, and only one.
      {5, 256, "0/5 - Access is denied."},
      {25, 256,
       "0/25 - The drive cannot locate a specific area or track on the "
       "disk. "},
      // No system text: no " - " either.
      {1234, 256, "0/1234"},
      {0, 256, "0/0"},
      // The customer bit (29) gives "u"; the facility is bits 16 to 28.
      {0x20040005, 256, "u4/5"},
      {0x80070002, 256, "7/2"},
      {0xDFFFFFFF, 256, "8191/65535"},
      {0xFFFFFFFF, 256, "u8191/65535"},
      // Text that does not fit the room behind the prefix is no text:
      // "0/2 - " is 6 characters and the text 42; the system is given the
      // capacity less the prefix less 1 as its room, NUL included.
      {2, 50, "0/2 - The system cannot find the file specified."},
      {2, 49, "0/2"},
      {2, 16, "0/2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    std::vector<char> buffer(c.capacity, '#');
    EXPECT_EQ(describeError(buffer.data(), buffer.size(), c.code),
              buffer.data());
    EXPECT_STREQ(buffer.data(), c.expected);
  }
}

TEST_F(ConsoleTest, DescribeErrorLeavesTheLastErrorAlone) {
  // With and without text: the fake's failed lookup sets a last error of
  // its own, as FormatMessageA does.
  for (std::uint32_t code : {2u, 1234u, 0x20040005u}) {
    SCOPED_TRACE(code);
    platform::setLastError(77);
    char buffer[kErrorTextSize];
    describeError(buffer, sizeof buffer, code);
    EXPECT_EQ(platform::lastError(), 77u);
  }
  EXPECT_EQ(out() + err(), "");
}

// Order in which the exit callbacks ran.
std::vector<int> gCalls;
void first() { gCalls.push_back(1); }
void second() { gCalls.push_back(2); }
void third() { gCalls.push_back(3); }

using RuntimeTest = FakePlatformTest;

TEST_F(RuntimeTest, StartFailsOnAnUnsupportedSystemOrWithoutMemory) {
  struct Case {
    const char* name;
    bool versionSupported;
    unsigned failAllocCall;
    unsigned expectedAllocCalls;
  };
  const Case cases[] = {
      {"old system", false, 0, 0},
      {"no memory for the list", true, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    fake::state().versionSupported = c.versionSupported;
    fake::state().failAllocCall = c.failAllocCall;
    EXPECT_FALSE(appStart());
    EXPECT_FALSE(appStarted());
    EXPECT_EQ(fake::state().allocCalls, c.expectedAllocCalls);
    EXPECT_FALSE(appAtExit(first));
    appStop();  // nothing to free
    EXPECT_EQ(fake::liveBlocks(), 0u);
    EXPECT_EQ(fake::state().badFrees, 0u);
  }
  EXPECT_EQ(out() + err(), "");
}

TEST_F(RuntimeTest, StopRunsCallbacksHeadFirstAndFreesEverything) {
  gCalls.clear();
  ASSERT_TRUE(appStart());
  EXPECT_TRUE(appStarted());
  EXPECT_EQ(fake::liveBlocks(), 1u);  // the empty list
  ASSERT_TRUE(appAtExit(first));
  ASSERT_TRUE(appAtExit(second));
  ASSERT_TRUE(appAtExit(third));
  EXPECT_EQ(fake::liveBlocks(), 4u);
  EXPECT_TRUE(gCalls.empty());

  appStop();
  EXPECT_EQ(gCalls, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(appStarted());
  EXPECT_EQ(fake::liveBlocks(), 0u);
  EXPECT_EQ(fake::state().frees, 4u);
  EXPECT_EQ(fake::state().badFrees, 0u);

  // A second stop finds no list; a new start makes a fresh, empty one.
  appStop();
  ASSERT_TRUE(appStart());
  appStop();
  EXPECT_EQ(gCalls.size(), 3u);
  EXPECT_EQ(fake::liveBlocks(), 0u);
}

TEST_F(RuntimeTest, AtExitWithoutMemoryKeepsTheList) {
  gCalls.clear();
  ASSERT_TRUE(appStart());
  ASSERT_TRUE(appAtExit(first));
  fake::state().failAllocCall = fake::state().allocCalls + 1;
  EXPECT_FALSE(appAtExit(second));
  ASSERT_TRUE(appAtExit(third));
  appStop();
  EXPECT_EQ(gCalls, (std::vector<int>{1, 3}));
  EXPECT_EQ(fake::liveBlocks(), 0u);
}

}  // namespace

// CommandLineTest.cpp - splitting the program name off a whole command line,
// and joining argv back into one text that reads to the same words.
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/CommandLine.h"
#include "runtime/Runtime.h"
#include "text/Scan.h"

namespace {

using CommandLineTest = FakePlatformTest;

TEST_F(CommandLineTest, ArgumentText) {
  struct Case {
    const char* commandLine;
    const char* arguments;
  };
  const Case cases[] = {
      {"\"C:\\Program Files\\setuphdr.exe\" d f", "d f"},
      {"\"C:\\Program Files\\setuphdr.exe\"d f", "d f"},
      {"\"C:\\Program Files\\setuphdr.exe\" \t d f", "d f"},
      {"\"C:\\Program Files\\setuphdr.exe d f", ""},
      {"\"setuphdr.exe\"", ""},
      {"\"\" d", "d"},
      {"setuphdr.exe d f", "d f"},
      {"setuphdr.exe \t d f ", "d f "},
      // A tab does not end an unquoted program name.
      {"setuphdr.exe\td f", "f"},
      {"setuphdr.exe\td", ""},
      {"setuphdr.exe", ""},
      {"setuphdr.exe ", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    EXPECT_STREQ(argumentText(c.commandLine), c.arguments);
  }
}

TEST_F(CommandLineTest, ArgumentTextPointsIntoTheCommandLine) {
  const char line[] = "\"x\"d f";
  EXPECT_EQ(argumentText(line), line + 3);
}

// Reads the words of a joined text back with the command line's own reader.
std::vector<std::string> readWords(const char* text) {
  std::vector<std::string> words;
  char word[256];
  for (const char* p = skipBlanks(text); *p != '\0'; p = skipBlanks(p)) {
    p = readToken(p, word, sizeof word, nullptr);
    if (p == nullptr) {
      words.push_back("<unterminated>");
      break;
    }
    words.push_back(word);
  }
  return words;
}

TEST_F(CommandLineTest, JoinArguments) {
  struct Case {
    std::vector<const char*> argv;
    const char* joined;
  };
  const Case cases[] = {
      {{"setuphdr"}, ""},
      {{"setuphdr", "d", "file.000"}, "d file.000"},
      {{"setuphdr", "c", "-arch", "5", "my file"}, "c -arch 5 \"my file\""},
      {{"setuphdr", "a\tb"}, "\"a\tb\""},
      {{"setuphdr", "a\"b"}, "\"a\"\"b\""},
      {{"setuphdr", "say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"setuphdr", "\""}, "\"\"\"\""},
      {{"setuphdr", "ends\""}, "\"ends\"\"\""},
      {{"setuphdr", ""}, "\"\""},
      {{"setuphdr", "", "x"}, "\"\" x"},
      {{"setuphdr", "C:\\dir\\f.000"}, "C:\\dir\\f.000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.joined);
    fake::reset();
    char* joined =
        joinArguments(static_cast<int>(c.argv.size()), c.argv.data());
    ASSERT_NE(joined, nullptr);
    EXPECT_STREQ(joined, c.joined);
    // The words read back are the arguments.
    EXPECT_EQ(readWords(joined),
              std::vector<std::string>(c.argv.begin() + 1, c.argv.end()));
    freeBlock(joined);
    EXPECT_EQ(fake::liveBlocks(), 0u);
  }
}

TEST_F(CommandLineTest, JoinArgumentsWithoutMemory) {
  const char* argv[] = {"setuphdr", "d", "f"};
  fake::state().failAllocCall = 1;
  EXPECT_EQ(joinArguments(3, argv), nullptr);
  EXPECT_EQ(fake::liveBlocks(), 0u);
}

}  // namespace

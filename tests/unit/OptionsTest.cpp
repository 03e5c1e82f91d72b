// OptionsTest.cpp - reading the options and the file path behind the action
// letter, with every command-line error and the order of its tests.
#include <string>

#include "TestSupport.h"
#include "app/Options.h"

namespace {

using OptionsTest = FakePlatformTest;

constexpr Action D = Action::Display;
constexpr Action C = Action::Change;

TEST_F(OptionsTest, Errors) {
  const std::string path259(259, 'p');
  const std::string path260(260, 'p');
  struct Case {
    Action action;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      // Options and their tests: keyword, action, repetition, value.
      {C, "- f", "No option name"},
      {C, "-", "No option name"},
      {C, "-\tf", "No option name"},
      {C, "-foo 1 path", "Invalid option foo 1 path"},
      {D, "-foo 1 path", "Invalid option foo 1 path"},
      {C, "-ar 5 f", "Invalid option ar 5 f"},
      {C, "-ARCH 5 f", "Invalid option ARCH 5 f"},  // keywords keep case
      {C, "-verm 1 f", "Invalid option verm 1 f"},
      {C, "f -x", "Invalid option x"},
      {D, "-arch 5 f", "Invalid option for the action"},
      {D, "-arch SH3 f", "Invalid option for the action"},
      {D, "-vermin 1 f", "Invalid option for the action"},
      {D, "f -vermax 1", "Invalid option for the action"},
      {C, "-arch 5 -arch 6 f", "Arch already specified"},
      {C, "-arch 5 -arch SH3 f", "Arch already specified"},
      {C, "-arch 5 -archive 6 f", "Arch already specified"},
      {C, "-vermin 1 -vermin 2 f", "Minimal version already specified"},
      {C, "-vermax 1 -vermax 1.2.3.4 f", "Maximal version already specified"},
      {D, "-unsign f", "Invalid option for the action"},
      {C, "-unsign -unsignx f", "Unsign already specified"},
      {D, "-allplatforms f", "Invalid option for the action"},
      {C, "-allplatforms -allplatformsx f", "Allplatforms already specified"},
      {C, "-all f", "Invalid option all f"},
      // A switch takes no word; a value option takes the next one, also
      // when it is a switch, and refuses it.
      {C, "-allplatforms -unsign -unsign f", "Unsign already specified"},
      {C, "-arch -allplatforms f", "Invalid arch value \"-allplatforms\""},
      {C, "-vermax -allplatforms f",
       "Point, space or EOL expected: \"-allplatforms f\""},
      // -arch values.
      {C, "-arch SH3 f", "Invalid arch value \"SH3\""},
      {C, "-arch \"SH 3\" f", "Invalid arch value \"SH 3\""},
      {C, "-arch 12x f", "Invalid arch value \"12x\""},
      {C, "-arch -5 f", "Invalid arch value \"-5\""},
      {C, "-arch 4294967296 f", "Invalid arch value \"4294967296\""},
      {C, "-arch 12345678901234567890 f",
       "Invalid arch value \"1234567890123456789\""},
      {C, "-arch StrongARM_and_much_more_x f",
       "Invalid arch value \"StrongARM_and_much_\""},
      {C, "f -arch", "No arch value"},
      {C, "f -arch  \t ", "No arch value"},
      {C, "-arch \"i386 f", "No arch value"},
      // Version values.
      {C, "-vermin 4.21.1.2 f", "Point, space or EOL expected: \".2 f\""},
      {C, "-vermin path", "Point, space or EOL expected: \"path\""},
      {C, "-vermin\tpath x", "Point, space or EOL expected: \"path x\""},
      {C, "-vermin 4a f", "Point, space or EOL expected: \"a f\""},
      {C, "-vermin 1-2 f", "Point, space or EOL expected: \"-2 f\""},
      {C, "-vermin -vermax 3 f",
       "Point, space or EOL expected: \"-vermax 3 f\""},
      {C, "-vermin \"4\" f", "Point, space or EOL expected: \"\"4\" f\""},
      {C, "-vermin 4294967296 f", "Invalid number \"4294967296 f\""},
      {C, "-vermin 1.4294967296.3 f", "Invalid number \"4294967296.3 f\""},
      {C, "-vermax 1.2.99999999999 f", "Invalid number \"99999999999 f\""},
      // Paths.
      {C, "a b", "File path already specified"},
      {C, "a -arch 1 b -foo", "File path already specified"},
      {C, "\"a b\" \"c\"", "File path already specified"},
      {C, "\"\"", "Error in file path"},
      {C, "-arch 1 \"\" f", "Error in file path"},
      {C, "\"abc", "Error in file path"},
      {C, "\"abc -arch 1", "Error in file path"},
      {D, path260, "Error in file path"},
      {D, "\"" + path260 + "\"", "Error in file path"},
      // After the loop: the path first, then the fields.
      {C, "", "No file specified"},
      {C, " \t ", "No file specified"},
      {D, "", "No file specified"},
      {C, "-arch 5", "No file specified"},
      {C, "-vermin", "No file specified"},
      {C, "f", "No fields to change"},
      {C, "  f  ", "No fields to change"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    fake::reset();
    Command command;
    EXPECT_FALSE(readOptions(c.action, c.text.c_str(), &command));
    EXPECT_EQ(err(), c.error + "\r\n");
    EXPECT_EQ(out(), "");
  }
}

TEST_F(OptionsTest, Commands) {
  const std::string path259(259, 'p');
  struct Case {
    Action action;
    std::string text;
    std::string path;
    bool archGiven;
    std::uint32_t arch;
    bool minGiven;
    VersionTriple min;
    bool maxGiven;
    VersionTriple max;
  };
  const VersionTriple zero = {0, 0, 0};
  const Case cases[] = {
      {D, "f", "f", false, 0, false, zero, false, zero},
      {D, "  f \t ", "f", false, 0, false, zero, false, zero},
      {D, "\"my file.000\"", "my file.000", false, 0, false, zero, false, zero},
      {D, "a\"\"b", "a\"b", false, 0, false, zero, false, zero},
      {D, "\"-arch\"", "-arch", false, 0, false, zero, false, zero},
      {D, path259, path259, false, 0, false, zero, false, zero},
      {D, "\"" + path259 + "\"", path259, false, 0, false, zero, false, zero},
      // Architecture names in any case, and numbers.
      {C, "-arch StrongARM f", "f", true, 2577, false, zero, false, zero},
      {C, "-arch strongarm f", "f", true, 2577, false, zero, false, zero},
      {C, "-arch STRONGARM f", "f", true, 2577, false, zero, false, zero},
      {C, "-arch 2577 f", "f", true, 2577, false, zero, false, zero},
      {C, "-arch 5 f", "f", true, 5, false, zero, false, zero},
      {C, "-arch any f", "f", true, 0, false, zero, false, zero},
      {C, "-arch arm_7tdmi f", "f", true, 70001, false, zero, false, zero},
      {C, "-arch 4294967295 f", "f", true, 4294967295u, false, zero, false,
       zero},
      {C, "-arch \"\" f", "f", true, 0, false, zero, false, zero},
      {C, "-arch \"i386\"f", "f", true, 386, false, zero, false, zero},
      {C, "-archive 386 f", "f", true, 386, false, zero, false, zero},
      {C, "-arch5 i386 f", "f", true, 386, false, zero, false, zero},
      {C, "-arch\ti386\tf", "f", true, 386, false, zero, false, zero},
      {C, "f -arch i386", "f", true, 386, false, zero, false, zero},
      // Versions.
      {C, "-vermin 4 f", "f", false, 0, true, {4, 0, 0}, false, zero},
      {C, "-vermin 4.21 f", "f", false, 0, true, {4, 21, 0}, false, zero},
      {C, "-vermin 4.21.100 f", "f", false, 0, true, {4, 21, 100}, false,
       zero},
      {C, "-vermin 5..2 f", "f", false, 0, true, {5, 0, 2}, false, zero},
      {C, "-vermin .5 f", "f", false, 0, true, {0, 5, 0}, false, zero},
      {C, "-vermin 1. f", "f", false, 0, true, {1, 0, 0}, false, zero},
      {C, "-vermin 1.2. f", "f", false, 0, true, {1, 2, 0}, false, zero},
      {C, "-vermin .. f", "f", false, 0, true, zero, false, zero},
      {C, "f -vermin", "f", false, 0, true, zero, false, zero},
      {C, "f -vermin  ", "f", false, 0, true, zero, false, zero},
      {C, "-verminx 3 f", "f", false, 0, true, {3, 0, 0}, false, zero},
      {C, "-vermin 4294967295.4294967295.4294967295 f", "f", false, 0, true,
       {4294967295u, 4294967295u, 4294967295u}, false, zero},
      {C, "-vermax 6.1.7 f", "f", false, 0, false, zero, true, {6, 1, 7}},
      // All three, in any order and with the path anywhere.
      {C, "-vermax 6.1 f -vermin 4.21 -arch 70001", "f", true, 70001, true,
       {4, 21, 0}, true, {6, 1, 0}},
      {C, "\"a b\" -arch Hitachi_SH3E -vermax 5", "a b", true, 10004, false,
       zero, true, {5, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    fake::reset();
    Command command;
    ASSERT_TRUE(readOptions(c.action, c.text.c_str(), &command));
    EXPECT_EQ(out() + err(), "");
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(std::string(command.path), c.path);
    const ChangeRequest& changes = command.changes;
    EXPECT_EQ(changes.archGiven, c.archGiven);
    EXPECT_EQ(changes.arch, c.arch);
    EXPECT_EQ(changes.minVersionGiven, c.minGiven);
    EXPECT_EQ(changes.minVersion.major, c.min.major);
    EXPECT_EQ(changes.minVersion.minor, c.min.minor);
    EXPECT_EQ(changes.minVersion.build, c.min.build);
    EXPECT_EQ(changes.maxVersionGiven, c.maxGiven);
    EXPECT_EQ(changes.maxVersion.major, c.max.major);
    EXPECT_EQ(changes.maxVersion.minor, c.max.minor);
    EXPECT_EQ(changes.maxVersion.build, c.max.build);
  }
}

TEST_F(OptionsTest, SwitchesAloneAreEnoughToChange) {
  const struct {
    const char* text;
    bool unsign;
    bool clearPlatforms;
  } cases[] = {
      {"-unsign f", true, false},
      {"f -unsign", true, false},
      {"-unsign\tf", true, false},
      {"-unsign -arch 5 f", true, false},
      {"-allplatforms f", false, true},
      {"f -allplatforms", false, true},
      {"-allplatforms -unsign f", true, true},
      {"-unsign -allplatforms f", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Command command;
    ASSERT_TRUE(readOptions(C, c.text, &command)) << err();
    EXPECT_EQ(command.unsign, c.unsign);
    EXPECT_EQ(command.changes.clearPlatforms, c.clearPlatforms);
    EXPECT_EQ(std::string(command.path), "f");
  }
}

TEST_F(OptionsTest, ArchWordLimit) {
  // The word buffer holds 19 characters: a 19-character number is read,
  // a 20-character one is refused with its first 19 characters.
  struct Case {
    const char* text;
    const char* error;  // null: accepted
    std::uint32_t code;
  };
  const Case cases[] = {
      {"0000000000000000386", nullptr, 386},
      {"00000000000000000386", "Invalid arch value \"0000000000000000038\"",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    fake::reset();
    std::uint32_t code = 12345;
    const char* end = readArchValue(c.text, &code);
    if (c.error == nullptr) {
      EXPECT_EQ(end, c.text + std::strlen(c.text));
      EXPECT_EQ(code, c.code);
      EXPECT_EQ(err(), "");
    } else {
      EXPECT_EQ(end, nullptr);
      EXPECT_EQ(err(), std::string(c.error) + "\r\n");
    }
  }
}

}  // namespace

// HeaderTest.cpp - header checks, the report, the platform list and the
// change of a setup-file header held in memory.
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "header/HeaderReport.h"

namespace {

using SetupHeader::kAppNameText;
using SetupHeader::kPlatformsText;
using SetupHeader::kProviderText;

class HeaderTest : public FakePlatformTest {
 protected:
  // Validates the file (which must pass) and returns its report. The
  // report is made twice, from an exact copy and from one followed by
  // non-NUL bytes: both must agree, whatever lies behind the file.
  std::string show(const std::string& bytes) {
    ExactBytes file(bytes);
    EXPECT_TRUE(validateHeader(file.data(), file.size()));
    EXPECT_EQ(err(), "");
    showHeader(file.data(), file.size());
    EXPECT_EQ(file.str(), bytes);  // showing changes nothing
    const std::string report = out();

    fake::state().output.clear();
    ExactBytes guarded(bytes, 64);
    showHeader(guarded.data(), guarded.size());
    EXPECT_EQ(out(), report) << "read past the end of the file";
    return report;
  }
  // The report's line starting with prefix, without its CR LF, or "<none>".
  static std::string line(const std::string& report, const std::string& prefix) {
    const std::size_t at = report.find("\r\n" + prefix);
    if (at == std::string::npos) return "<none>";
    const std::size_t end = report.find("\r\n", at + 2);
    return report.substr(at + 2, end - at - 2);
  }
};

TEST_F(HeaderTest, FullReport) {
  SetupFile file;
  file.u32(20, 2577)
      .u32(24, 4).u32(28, 21).u32(40, 100)           // min 4.21 build 100
      .u32(32, 5).u32(36, 2).u32(44, 3758096384u)    // max 5.2 build 0xE0000000
      .u16(48, 1).u16(50, 2).u16(52, 3).u16(54, 4).u16(56, 5).u16(58, 65535);
  // App name stored before the provider, to tell the two references apart.
  file.appendText(kAppNameText, std::string("My App\0", 7));
  file.appendText(kProviderText, std::string("Provider Co\0", 12));
  file.appendText(kPlatformsText, std::string("Any\0i386\0", 9));
  EXPECT_EQ(show(file.bytes), crlfLines({
                                  "",
                                  "Provider: Provider Co",
                                  "App name: My App",
                                  "Architecture: 2577 (StrongARM)",
                                  "WinCE version min: 4.21 build 100",
                                  "WinCE version max: 5.2 build 3758096384",
                                  "Number of strings: 1",
                                  "Number of dirs: 2",
                                  "Number of files: 3",
                                  "Number of registry hives: 4",
                                  "Number of registry keys: 5",
                                  "Number of links: 65535",
                                  "Unsupported platforms: Any, i386",
                              }));
}

TEST_F(HeaderTest, ArchitectureLine) {
  struct Case {
    std::uint32_t code;
    const char* line;
  };
  const Case cases[] = {
      {2577, "Architecture: 2577 (StrongARM)"},
      {5, "Architecture: 5 (unknown)"},
      {0, "Architecture: 0 (Any)"},
      {70001, "Architecture: 70001 (ARM_7TDMI)"},
      {4294967295u, "Architecture: 4294967295 (unknown)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    fake::reset();
    EXPECT_EQ(line(show(SetupFile().u32(20, c.code).bytes), "Architecture"),
              c.line);
  }
}

TEST_F(HeaderTest, ProviderAndAppNameTexts) {
  const std::string longText(2000, 'L');
  struct Case {
    const char* name;
    std::function<void(SetupFile&)> build;
    std::string provider;
    std::string appName;
  };
  const Case cases[] = {
      {"length does not cut the text",
       [](SetupFile& f) {
         const std::uint32_t at = f.append(std::string("Microsoft\0", 10));
         f.text(kProviderText, at, 3);
         f.text(kAppNameText, at + 5, 0);
       },
       "Provider: Microsoft", "App name: soft"},
      {"text without NUL runs to the end of the file",
       [](SetupFile& f) {
         f.appendText(kProviderText, std::string("Prov\0", 5));
         f.appendText(kAppNameText, "Tail");
       },
       "Provider: Prov", "App name: Tail"},
      {"offset equal to the file size gives an empty text",
       [](SetupFile& f) {
         f.appendText(kAppNameText, std::string("App\0", 4));
         f.text(kProviderText, static_cast<std::uint32_t>(f.bytes.size()), 0);
       },
       "Provider: ", "App name: App"},
      {"offset 0 reads the signature",
       [](SetupFile&) {}, "Provider: MSCE", "App name: MSCE"},
      {"percent signs are printed, not formatted",
       [](SetupFile& f) {
         f.appendText(kProviderText, std::string("100% %s %u %%\0", 14));
         f.appendText(kAppNameText, std::string("%c%5u\0", 7));
       },
       "Provider: 100% %s %u %%", "App name: %c%5u"},
      {"a long text is cut with the line",
       [&longText](SetupFile& f) {
         f.appendText(kProviderText, longText + '\0');
         f.appendText(kAppNameText, std::string("x\0", 2));
       },
       "Provider: " + longText.substr(0, 1021 - 10), "App name: x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    SetupFile file;
    c.build(file);
    const std::string report = show(file.bytes);
    EXPECT_EQ(line(report, "Provider:"), c.provider);
    EXPECT_EQ(line(report, "App name:"), c.appName);
    // Provider first, app name right behind it.
    EXPECT_EQ(report.find("\r\nApp name:"),
              report.find("\r\nProvider:") + 2 + c.provider.size());
  }
}

// Texts from the file reach a terminal with their control bytes as '?';
// any other output gets them unchanged. Only the file's texts are masked.
TEST_F(HeaderTest, ControlBytesOfTheTextsAreMaskedOnATerminal) {
  SetupFile file;
  file.appendText(kProviderText, std::string("Evil\x1b]0;owned\x07 Co\0", 18));
  file.appendText(kAppNameText, std::string("A\rB\x7f\x80\xe9\0", 7));
  file.appendText(kPlatformsText, std::string("H\x1b[2JPC\0\tX\0", 11));
  struct Case {
    bool terminal;
    const char* provider;
    const char* appName;
    const char* platforms;
  };
  const Case cases[] = {
      {false, "Provider: Evil\x1b]0;owned\x07 Co",
       "App name: A\rB\x7f\x80\xe9", "Unsupported platforms: H\x1b[2JPC, \tX"},
      {true, "Provider: Evil?]0;owned? Co", "App name: A?B?\x80\xe9",
       "Unsupported platforms: H?[2JPC, ?X"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.terminal);
    fake::reset();
    gConsole.outputIsTerminal = c.terminal;
    const std::string report = show(file.bytes);
    EXPECT_EQ(report, crlfLines({"", c.provider, c.appName,
                                 "Architecture: 0 (Any)",
                                 "WinCE version min: 0.0 build 0",
                                 "WinCE version max: 0.0 build 0",
                                 "Number of strings: 0", "Number of dirs: 0",
                                 "Number of files: 0",
                                 "Number of registry hives: 0",
                                 "Number of registry keys: 0",
                                 "Number of links: 0", c.platforms}));
  }
}

TEST_F(HeaderTest, PlatformList) {
  const std::string a60(60, 'a'), b64(64, 'b'), b65(65, 'b');
  std::string twenties, joined;
  for (char c = 'A'; c < 'K'; ++c) {
    twenties += std::string(20, c) + '\0';
    joined += (joined.empty() ? "" : ", ") + std::string(20, c);
  }
  struct Case {
    const char* name;
    std::string raw;     // appended at the end of the file
    std::uint32_t length;  // of the reference
    std::string line;    // expected line 13, "<none>" for none
  };
  const Case cases[] = {
      {"length 0: no line", std::string("Any\0", 4), 0, "<none>"},
      {"length 1: empty list", std::string("Any\0", 4), 1,
       "Unsupported platforms: "},
      {"two names", std::string("Any\0i386\0", 9), 9,
       "Unsupported platforms: Any, i386"},
      {"empty first name", std::string("\0x\0", 3), 3,
       "Unsupported platforms: , x"},
      {"only empty names", std::string("\0\0\0", 3), 3,
       "Unsupported platforms: , "},
      {"empty names at the end", std::string("HPC\0Jupiter\0\0\0\0", 15), 15,
       "Unsupported platforms: HPC, Jupiter, , "},
      {"name whose NUL lies beyond the list end",
       std::string("ABCDEF\0", 7), 3, "Unsupported platforms: ABCDEF"},
      {"name running to the end of the file", std::string("AB\0CDE", 6), 6,
       "Unsupported platforms: AB, CDE"},
      {"percent signs", std::string("50%\0%s\0", 7), 7,
       "Unsupported platforms: 50%, %s"},
      {"exactly 126 characters", a60 + '\0' + b64 + '\0', 126,
       "Unsupported platforms: " + a60 + ", " + b64},
      {"127 characters cut to 126", a60 + '\0' + b65 + '\0', 127,
       "Unsupported platforms: " + a60 + ", " + b65.substr(0, 64)},
      {"many names cut to 126", twenties,
       static_cast<std::uint32_t>(twenties.size()),
       "Unsupported platforms: " + joined.substr(0, 126)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    SetupFile file;
    const std::uint32_t at = file.append(c.raw);
    file.text(kPlatformsText, at, c.length);
    const std::string report = show(file.bytes);
    EXPECT_EQ(line(report, "Unsupported platforms:"), c.line);
    const std::size_t lines = c.line == "<none>" ? 12 : 13;
    EXPECT_EQ(report.substr(report.size() - 2), "\r\n");
    std::size_t count = 0;
    for (std::size_t i = 0; (i = report.find("\r\n", i)) != std::string::npos;
         i += 2)
      ++count;
    EXPECT_EQ(count, lines);
  }
}

TEST_F(HeaderTest, PlatformListStaysInsideItsBuffer) {
  // A heap list of exactly its size: the address sanitizer sees any write
  // past it.
  std::string names;
  for (int i = 0; i < 40; ++i) names += "Platform" + std::to_string(i) + '\0';
  SetupFile file;
  const std::uint32_t at = file.append(names);
  ExactBytes bytes(file.bytes);
  std::unique_ptr<char[]> list(new char[kPlatformListSize]);
  joinPlatformList(bytes.data(), bytes.size(), at,
                   static_cast<std::uint32_t>(names.size()), list.get());
  EXPECT_EQ(std::strlen(list.get()), 126u);
  EXPECT_EQ(std::string(list.get(), 12), "Platform0, P");
}

TEST_F(HeaderTest, ValidateTextBounds) {
  struct Case {
    const char* name;
    std::uint32_t field;
    std::uint32_t offset;
    std::uint32_t length;
    std::uint32_t fileSize;
    bool valid;
  };
  const Case cases[] = {
      {"provider ends at the file end", kProviderText, 100, 10, 110, true},
      {"provider one byte past", kProviderText, 100, 10, 109, false},
      {"app name ends at the file end", kAppNameText, 100, 10, 110, true},
      {"app name one byte past", kAppNameText, 100, 10, 109, false},
      {"platforms end at the file end", kPlatformsText, 100, 10, 110, true},
      {"platforms one byte past", kPlatformsText, 100, 10, 109, false},
      {"empty text at the file end", kProviderText, 120, 0, 120, true},
      {"empty text past the file end", kAppNameText, 121, 0, 120, false},
      {"all texts at 0 with length 0", kProviderText, 0, 0, 100, true},
      // 0xFFFF + 2 wraps to 1 in 16 bits; the sum must be formed wider.
      {"sum that wraps 16 bits", kProviderText, 0xFFFF, 2, 200, false},
      {"largest reference", kPlatformsText, 0xFFFF, 0xFFFF, 0x1FFFE, true},
      {"largest reference, file one byte short", kPlatformsText, 0xFFFF,
       0xFFFF, 0x1FFFD, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    SetupFile file;
    file.text(c.field, c.offset, c.length);
    file.bytes.resize(c.fileSize, 'x');
    ExactBytes bytes(file.bytes);
    EXPECT_EQ(validateHeader(bytes.data(), bytes.size()), c.valid);
    EXPECT_EQ(err(), c.valid ? "" : "Invalid string size in a file\r\n");
    EXPECT_EQ(out(), "");
  }
}

TEST_F(HeaderTest, ValidateSignatureFirst) {
  struct Case {
    const char* signature;
    bool badText;
    const char* error;
  };
  const Case cases[] = {
      {"MSCE", false, ""},
      {"msce", false, "Invalid MSCE header signature\r\n"},
      {"MSCF", false, "Invalid MSCE header signature\r\n"},
      {"ECSM", false, "Invalid MSCE header signature\r\n"},
      // A bad signature is the one message even when a text is outside too.
      {"msce", true, "Invalid MSCE header signature\r\n"},
      {"MSCE", true, "Invalid string size in a file\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signature);
    fake::reset();
    SetupFile file;
    file.bytes.replace(0, 4, c.signature);
    if (c.badText) {
      // All three outside: still one line.
      file.text(kProviderText, 90, 11).text(kAppNameText, 90, 11);
      file.text(kPlatformsText, 90, 11);
    }
    ExactBytes bytes(file.bytes);
    EXPECT_EQ(validateHeader(bytes.data(), bytes.size()), *c.error == '\0');
    EXPECT_EQ(err(), c.error);
  }
}

TEST_F(HeaderTest, FilesShorterThanTheHeaderFailWithOneLine) {
  const std::string valid = SetupFile().bytes;
  for (std::uint32_t size = 0; size < SetupHeader::kSize; ++size) {
    SCOPED_TRACE(size);
    fake::reset();
    ExactBytes bytes(valid.substr(0, size));
    EXPECT_FALSE(validateHeader(bytes.data(), bytes.size()));
    EXPECT_EQ(err(), "File too short for an MSCE header (" +
                         std::to_string(size) + " bytes, 100 needed)\r\n");
  }
}

TEST_F(HeaderTest, ApplyChangesEveryCombination) {
  // A header whose every byte differs from its neighbours, so that a write
  // to the wrong place shows.
  std::string base(SetupHeader::kSize, '\0');
  for (std::size_t i = 0; i < base.size(); ++i)
    base[i] = static_cast<char>(i * 37 + 11);
  base.replace(0, 4, "MSCE");

  ChangeRequest request = {};
  request.arch = 70001;
  request.minVersion = {4, 21, 100};
  request.maxVersion = {5, 2, 3758096384u};

  for (int mask = 0; mask < 16; ++mask) {
    SCOPED_TRACE(mask);
    fake::reset();
    request.archGiven = (mask & 1) != 0;
    request.minVersionGiven = (mask & 2) != 0;
    request.maxVersionGiven = (mask & 4) != 0;
    request.clearPlatforms = (mask & 8) != 0;

    SetupFile expected;
    expected.bytes = base;
    std::string lines;
    if (request.archGiven) {
      expected.u32(20, 70001);
      lines += "Arch set to 70001 (ARM_7TDMI)\r\n";
    }
    if (request.minVersionGiven) {
      expected.u32(24, 4).u32(28, 21).u32(40, 100);
      lines += "Min ver set to 4.21 build 100\r\n";
    }
    if (request.maxVersionGiven) {
      expected.u32(32, 5).u32(36, 2).u32(44, 3758096384u);
      lines += "Max ver set to 5.2 build 3758096384\r\n";
    }
    if (request.clearPlatforms) {
      expected.u16(94, 0);  // the list's offset at 92 stays
      lines += "Unsupported platforms cleared\r\n";
    }

    ExactBytes header(base);
    applyChanges(header.data(), request);
    EXPECT_EQ(header.str(), expected.bytes);
    EXPECT_EQ(out(), lines);
    EXPECT_EQ(err(), "");
  }
}

TEST_F(HeaderTest, ChangeLineNamesCodesOutsideTheTable) {
  ChangeRequest request = {};
  request.archGiven = true;
  request.arch = 5;
  ExactBytes header(SetupFile().bytes);
  applyChanges(header.data(), request);
  EXPECT_EQ(out(), "Arch set to 5 (unknown)\r\n");
}

}  // namespace

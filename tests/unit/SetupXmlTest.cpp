// SetupXmlTest.cpp - the setup XML reader, the value splice and the report
// lines, over documents built here after the _setup.xml of real cabinets
// (CR LF lines, double quotes, " />" tags, the parms in the builders'
// order). The fuzz target fuzz-xml checks the same code against expat on
// arbitrary documents; these tables pin the texts and bytes it cannot know.
#include <string>
#include <vector>

#include "TestSupport.h"
#include "header/SetupXml.h"
#include "header/SetupXmlReport.h"

namespace {

const char kBuilderParms[] =
    "<parm name=\"InstallPhase\" value=\"install\" />\r\n"
    "<parm name=\"ProcessorType\" value=\"2336\" />\r\n"
    "<parm name=\"OSVersionMin\" value=\"4.0\" />\r\n"
    "<parm name=\"OSVersionMax\" value=\"100.0\" />\r\n"
    "<parm name=\"BuildNumberMin\" value=\"0\" />\r\n"
    "<parm name=\"BuildNumberMax\" value=\"-536870912\" />\r\n"
    "<parm name=\"AppName\" value=\"NSB Runtime\" />\r\n";

// A whole document around the Install characteristic's parms.
std::string document(const std::string& parms, const std::string& before = "") {
  return before + "<wap-provisioningdoc>\r\n<characteristic type=\"Install\">\r\n" +
         parms +
         "</characteristic>\r\n<characteristic type=\"FileOperation\">\r\n"
         "<characteristic type=\"MakeDir\" />\r\n</characteristic>\r\n"
         "</wap-provisioningdoc>";
}

// A document read from an exact-size copy.
struct Read {
  explicit Read(const std::string& bytes) : file(bytes) {
    readSetupXml(file.data(), file.size(), &xml);
  }
  ~Read() { releaseSetupXml(&xml); }
  std::string value(SetupXmlParm parm) const {
    const SetupXmlValue& v = xml.parms[parm];
    return v.present ? std::string(v.text, v.length) : "<absent>";
  }
  std::string raw(SetupXmlParm parm) const {
    const SetupXmlValue& v = xml.parms[parm];
    return file.str().substr(v.valueStart, v.valueEnd - v.valueStart);
  }
  ExactBytes file;
  SetupXml xml;
};

ChangeRequest change(int arch, VersionTriple min, VersionTriple max) {
  ChangeRequest r{};
  r.archGiven = arch >= 0;
  r.arch = static_cast<std::uint32_t>(arch);
  r.minVersionGiven = min.major != ~0u;
  r.minVersion = min;
  r.maxVersionGiven = max.major != ~0u;
  r.maxVersion = max;
  return r;
}
constexpr VersionTriple kNone = {~0u, 0, 0};

class SetupXmlTest : public FakePlatformTest {};

TEST_F(SetupXmlTest, BuilderDocument) {
  Read read(document(kBuilderParms));
  ASSERT_EQ(read.xml.status, SetupXmlStatus::Readable);
  EXPECT_TRUE(read.xml.hasInstall);
  const char* values[] = {"NSB Runtime", "2336", "4.0", "100.0", "0", "-536870912"};
  const std::uint32_t lines[] = {9, 4, 5, 6, 7, 8};
  for (std::uint32_t i = 0; i < kSetupXmlParmCount; ++i) {
    SCOPED_TRACE(values[i]);
    EXPECT_EQ(read.value(static_cast<SetupXmlParm>(i)), values[i]);
    EXPECT_EQ(read.raw(static_cast<SetupXmlParm>(i)), values[i]);
    EXPECT_EQ(read.xml.parms[i].line, lines[i]);
  }
}

// What XML 1.0 allows reads, with the decoded values and raw value bytes.
TEST_F(SetupXmlTest, AcceptedForms) {
  const std::string root = "<wap-provisioningdoc>";
  const std::string install = "<characteristic type=\"Install\">";
  const std::string end = "</characteristic></wap-provisioningdoc>";
  const struct {
    std::string bytes;
    const char* processorType;
    const char* raw;
    const char* appName;
  } cases[] = {
      {"\xEF\xBB\xBF<?xml version=\"1.1\" encoding=\"utf-8\" standalone='yes'?>\n"
       "<!-- c -->\n<?builder x?>\n" + root + "<!-- c -->" + install +
           "<?pi?><parm name=\"ProcessorType\" value=\"2577\"/>" + end + "\n<!-- c -->\n",
       "2577", "2577", "<absent>"},
      {root + "\r" + install + "<parm\r\n\tvalue\n=\r\n'4000' \t name = \"ProcessorType\"\r\n/>" +
           "<parm value=\"Caf\xC3\xA9\" name='AppName'></parm>" + end,
       "4000", "4000", "Caf\xC3\xA9"},
      {root + install + "<parm name=\"ProcessorType\" value=\"&#50;5&#x37;7\"/>" +
           "<parm name=\"App&#78;ame\" value=\"&lt;A &amp; B&gt; &quot;&apos;\"/>" + end,
       "2577", "&#50;5&#x37;7", "<A & B> \"'"},
      // Not children of the first-level Install characteristic: a nested
      // one's, a grandchild's, a later characteristic's.
      {root + "<characteristic type=\"X\">" + install +
           "<parm name=\"ProcessorType\" value=\"1\"/></characteristic></characteristic>" +
           install + "<parm name=\"X\"><parm name=\"ProcessorType\" value=\"2\"/></parm>" +
           "</characteristic><characteristic type=\"Y\">"
           "<parm name=\"ProcessorType\" value=\"3\"/>" + end,
       "<absent>", "", "<absent>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    Read read(c.bytes);
    ASSERT_EQ(read.xml.status, SetupXmlStatus::Readable) << read.xml.problem;
    EXPECT_EQ(read.value(kXmlProcessorType), c.processorType);
    if (read.xml.parms[kXmlProcessorType].present) {
      EXPECT_EQ(read.raw(kXmlProcessorType), c.raw);
    }
    EXPECT_EQ(read.value(kXmlAppName), c.appName);
  }
}

// What the reader refuses, and what it says.
TEST_F(SetupXmlTest, RefusedForms) {
  const std::string valid = document(kBuilderParms);
  std::string mismatched = valid;
  mismatched.replace(mismatched.find("</characteristic>"), 17, "</characteristix>");
  const struct {
    std::string bytes;
    const char* problem;
  } cases[] = {
      {mismatched, "line 10: mismatched tag"},
      {"", "line 1: no element found"},
      {valid + "<x/>", "line 14: junk after document element"},
      {document("<parm name=\"AppName\" value=\"&nbsp;\"/>"), "line 3: undefined entity"},
      {document("<parm name=\"AppName\" value=\"\xC3\x28\"/>"),
       "line 3: not well-formed (invalid token)"},
      {"\n<?xml version=\"1.0\"?>" + valid,
       "line 2: XML or text declaration not at start of entity"},
      {"<!DOCTYPE wap-provisioningdoc [\r\n<!ENTITY e \"1\">\r\n]>\r\n" + valid,
       "line 1: document type declaration not allowed"},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + valid,
       "line 1: encoding other than UTF-8"},
      {std::string("\xFF\xFE<\0w\0", 6), "line 1: encoding other than UTF-8"},
      {std::string("<\0w\0", 4), "line 1: encoding other than UTF-8"},
      {"<?xml version=\"2.0\"?>" + valid, "line 1: unsupported XML version"},
      {"<!-- x -->\r\n<wap-provisioningdocs/>",
       "line 2: root element is not wap-provisioningdoc"},
      {valid + std::string(kSetupXmlSizeLimit + 1 - valid.size(), ' '), "larger than 1 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.problem);
    Read read(c.bytes);
    EXPECT_EQ(read.xml.status, SetupXmlStatus::Unreadable);
    EXPECT_STREQ(read.xml.problem, c.problem);
    EXPECT_FALSE(read.xml.parms[kXmlAppName].present);
  }
  Read atLimit(valid + std::string(kSetupXmlSizeLimit - valid.size(), ' '));
  EXPECT_EQ(atLimit.xml.status, SetupXmlStatus::Readable);
}

TEST_F(SetupXmlTest, NoMemory) {
  // Each allocation in turn fails: the parser's, expat's own, the values'.
  for (unsigned call = 1;; ++call) {
    fake::state().failAllocCall = call;
    fake::state().allocCalls = 0;
    Read read(document(kBuilderParms));
    if (read.xml.status == SetupXmlStatus::Readable) break;
    EXPECT_EQ(read.xml.status, SetupXmlStatus::NoMemory) << "call " << call;
    EXPECT_FALSE(read.xml.parms[kXmlProcessorType].present);
  }
  EXPECT_EQ(fake::state().allocations, fake::state().frees);
}

TEST_F(SetupXmlTest, ValueParsers) {
  // What each parser makes of a text: its value(s), or "-" when refused.
  const struct {
    const char* text;
    const char* number;
    const char* version;
    const char* build;
  } cases[] = {
      {"2577", "2577", "-", "2577"},
      {"0042", "42", "-", "42"},
      {"4294967295", "4294967295", "-", "4294967295"},
      {"4294967296", "-", "-", "-"},
      {"-536870912", "-", "-", "3758096384"},
      {"-2147483648", "-", "-", "2147483648"},
      {"-2147483649", "-", "-", "-"},
      {"-0", "-", "-", "0"},
      {"4.20", "-", "4.20", "-"},
      {"4294967295.4294967295", "-", "4294967295.4294967295", "-"},
      {"4.4294967296", "-", "-", "-"},
      {"", "-", "-", "-"},
      {"+1", "-", "-", "-"},
      {" 1", "-", "-", "-"},
      {"4.", "-", "-", "-"},
      {".0", "-", "-", "-"},
      {"4.0.1", "-", "-", "-"},
      {"-4.0", "-", "-", "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto length = static_cast<std::uint32_t>(std::strlen(c.text));
    std::uint32_t a = 0, b = 0;
    EXPECT_EQ(parseXmlNumber(c.text, length, &a) ? std::to_string(a) : "-", c.number);
    EXPECT_EQ(parseXmlVersion(c.text, length, &a, &b)
                  ? std::to_string(a) + "." + std::to_string(b)
                  : "-",
              c.version);
    EXPECT_EQ(parseXmlBuild(c.text, length, &a) ? std::to_string(a) : "-", c.build);
  }
}

// The splice: the exact bytes out, or the refusal and its text.
TEST_F(SetupXmlTest, Edit) {
  const std::string builder = document(kBuilderParms);
  const auto replaced = [&](std::vector<std::pair<std::string, std::string>> edits) {
    std::string text = builder;
    for (const auto& edit : edits)
      text.replace(text.find(edit.first), edit.first.size(), edit.second);
    return text;
  };
  const std::string twoInstalls =
      "<wap-provisioningdoc>\r\n<characteristic type=\"Install\"/>\r\n"
      "<characteristic type=\"Install\"/>\r\n</wap-provisioningdoc>";
  const struct {
    std::string before;
    ChangeRequest request;
    std::string after;      // "" when nothing changes
    const char* problem;    // the refusal's text, or null
  } cases[] = {
      // Every field: the architecture grows, the max version shrinks.
      {builder, change(10003, {3, 0, 0}, {5, 2, 3758096384u}),
       replaced({{"\"2336\"", "\"10003\""}, {"\"4.0\"", "\"3.0\""}, {"\"100.0\"", "\"5.2\""}}),
       nullptr},
      // Builds are written signed from 2^31 on; the architecture shrinks.
      {builder, change(0, {4, 0, 2147483648u}, {100, 0, 2147483647}),
       replaced({{"\"2336\"", "\"0\""},
                 {"\"BuildNumberMin\" value=\"0\"", "\"BuildNumberMin\" value=\"-2147483648\""},
                 {"\"-536870912\"", "\"2147483647\""}}),
       nullptr},
      // Already holds the values (the high build as written signed).
      {builder, change(2336, {4, 0, 0}, {100, 0, 3758096384u}), "", nullptr},
      // Absent parms stay absent.
      {document("<parm name=\"OSVersionMin\" value=\"4.0\" />\r\n"),
       change(4000, {5, 1, 7}, {6, 0, 0}),
       document("<parm name=\"OSVersionMin\" value=\"5.1\" />\r\n"), nullptr},
      // Equal when read is left alone; quotes stay, entities and values
      // that do not parse are replaced whole.
      {document("<parm name='OSVersionMin' value='04.00'/>\r\n"
                "<parm value='&#52;.0'\r\n name='OSVersionMax'/>"
                "<parm name=\"ProcessorType\" value=\" 1\"/>"),
       change(1, {4, 0, 0}, {5, 0, 0}),
       document("<parm name='OSVersionMin' value='04.00'/>\r\n"
                "<parm value='5.0'\r\n name='OSVersionMax'/>"
                "<parm name=\"ProcessorType\" value=\"1\"/>"),
       nullptr},
      // A parm's problem refuses only a change that touches it.
      {document("<parm name=\"ProcessorType\" value=\"1\"/>\r\n<parm name=\"ProcessorType\" "
                "value=\"2\"/>\r\n<parm name=\"OSVersionMin\" value=\"4.0\"/>"),
       change(-1, {3, 0, 0}, kNone),
       document("<parm name=\"ProcessorType\" value=\"1\"/>\r\n<parm name=\"ProcessorType\" "
                "value=\"2\"/>\r\n<parm name=\"OSVersionMin\" value=\"3.0\"/>"),
       nullptr},
      {document("<parm name=\"ProcessorType\" value=\"1\"/>\r\n<parm name=\"ProcessorType\" "
                "value=\"2\"/>\r\n"),
       change(1, kNone, kNone), "", "line 4: second ProcessorType parm"},
      {document("<parm name=\"BuildNumberMax\"/>\r\n"), change(-1, kNone, {5, 0, 0}), "",
       "line 3: BuildNumberMax parm without a value"},
      {document("<parm name=\"osversionmin\" value=\"4.0\"/>\r\n"),
       change(-1, {4, 0, 0}, kNone), "",
       "line 3: parm name differs from OSVersionMin only in case"},
      {twoInstalls, change(-1, kNone, {1, 0, 0}), "", "line 3: second Install characteristic"},
      {"<wap-provisioningdoc>\r\n<characteristic type=\"INSTALL\"/>\r\n</wap-provisioningdoc>",
       change(1, kNone, kNone), "",
       "line 2: characteristic type differs from Install only in case"},
      {"<wap-provisioningdoc>", change(1, kNone, kNone), "", "line 1: no element found"},
      // Nothing asked of the XML (only -allplatforms, say): nothing refused.
      {twoInstalls, change(-1, kNone, kNone), "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    Read read(c.before);
    SetupXmlEditPlan plan;
    const char* problem = "unset";
    const bool planned = planSetupXmlEdit(read.file.data(), read.file.size(), read.xml,
                                          c.request, &plan, &problem);
    EXPECT_EQ(planned, c.problem == nullptr);
    EXPECT_STREQ(problem, c.problem);
    const std::string after = c.after.empty() ? c.before : c.after;
    EXPECT_EQ(plan.count == 0, c.after.empty());
    ASSERT_EQ(plan.newSize, after.size());
    std::string written(plan.newSize, '\0');
    writeSetupXmlEdit(read.file.data(), read.file.size(), plan, 0, plan.newSize,
                      reinterpret_cast<unsigned char*>(&written[0]));
    EXPECT_EQ(written, after);
    std::uint32_t first = 0;
    while (first < after.size() && first < c.before.size() && after[first] == c.before[first])
      ++first;
    EXPECT_EQ(plan.firstChange, first);
  }
}

// The display block; the warning line; the list fields.
TEST_F(SetupXmlTest, Display) {
  const struct {
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {document(kBuilderParms),
       {"Setup XML: _setup.xml", "XML app name: NSB Runtime",
        "XML architecture: 2336 (ARM_920)", "XML WinCE version min: 4.0 build 0",
        "XML WinCE version max: 100.0 build 3758096384"}},
      {document("<parm name=\"ProcessorType\" value=\"5\"/>"
                "<parm name=\"OSVersionMax\" value=\"6.999\"/>"
                "<parm name=\"BuildNumberMin\" value=\"12\"/>"),
       {"Setup XML: _setup.xml", "XML app name: not set", "XML architecture: 5 (unknown)",
        "XML WinCE version min: not set build 12", "XML WinCE version max: 6.999"}},
      {document("<parm name=\"AppName\" value=\"a&#10;b&#9;c\"/>"
                "<parm name=\"ProcessorType\" value=\"ARM\"/>"
                "<parm name=\"OSVersionMin\" value=\"4.0 \"/>"
                "<parm name=\"OSVersionMax\" value=\"5.0\"/>"
                "<parm name=\"BuildNumberMax\" value=\"&#13;%s\"/>"),
       {"Setup XML: _setup.xml", "XML app name: a?b?c",
        "XML architecture: \"ARM\" (not a number)",
        "XML WinCE version min: \"4.0 \" (not a number)",
        "XML WinCE version max: 5.0 build \"?%s\" (not a number)"}},
      // A value in quotes is cut at 400 bytes, never inside a character.
      {document("<parm name=\"ProcessorType\" value=\"" + std::string(399, 'x') +
                "\xC3\xA9\"/>"),
       {"Setup XML: _setup.xml", "XML app name: not set",
        "XML architecture: \"" + std::string(399, 'x') + "\" (not a number)",
        "XML WinCE version min: not set", "XML WinCE version max: not set"}},
      {"<wap-provisioningdoc>\n<a>\n</b>",
       {"Setup XML: _setup.xml cannot be read (line 3: mismatched tag)"}},
  };
  for (const auto& c : cases) {
    fake::state().output.clear();
    Read read(c.bytes);
    showSetupXml(read.xml, "_setup.xml");
    std::string expected;
    for (const std::string& line : c.lines) expected += line + "\r\n";
    EXPECT_EQ(out(), expected);
  }
}

// Only present parms count; a value that does not parse disagrees.
TEST_F(SetupXmlTest, Disagreement) {
  SetupFile file;  // 2336, 4.0 build 0 to 100.0 build 0xE0000000
  file.u32(SetupHeader::kArchitecture, 2336)
      .u32(SetupHeader::kMinVersionMajor, 4)
      .u32(SetupHeader::kMaxVersionMajor, 100)
      .u32(SetupHeader::kMaxVersionBuild, 3758096384u);
  const struct {
    std::string parms;
    const char* names;  // null: no warning
  } cases[] = {
      {kBuilderParms, nullptr},
      {"", nullptr},
      {"<parm name=\"BuildNumberMax\" value=\"3758096384\"/>", nullptr},
      {"<parm name=\"BuildNumberMin\" value=\"1\"/>", "version min"},
      {"<parm name=\"ProcessorType\" value=\"x\"/><parm name=\"OSVersionMax\" value=\"5.0\"/>",
       "architecture, version max"},
      {"<parm name=\"ProcessorType\" value=\"0\"/><parm name=\"OSVersionMin\" value=\"3.0\"/>"
       "<parm name=\"BuildNumberMax\" value=\"-1\"/>",
       "architecture, version min, version max"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parms);
    fake::state().output.clear();
    Read read(document(c.parms));
    showSetupXmlDisagreement(read.xml, reinterpret_cast<const unsigned char*>(file.bytes.data()));
    EXPECT_EQ(out(), c.names == nullptr ? ""
                                        : "Warning: the setup XML and the setup file disagree on " +
                                              std::string(c.names) + "\r\n");
  }
}

TEST_F(SetupXmlTest, ListFields) {
  const struct {
    std::string parms;
    const char* fields;  // arch|min|max
  } cases[] = {
      {kBuilderParms, "2336|4.0.0|100.0.3758096384"},
      {"", "||"},
      {"<parm name=\"OSVersionMax\" value=\"6.999\"/><parm name=\"BuildNumberMin\" value=\"1\"/>",
       "||6.999"},
      {"<parm name=\"ProcessorType\" value=\"x\"/><parm name=\"OSVersionMin\" value=\"4\"/>"
       "<parm name=\"OSVersionMax\" value=\"5.0\"/><parm name=\"BuildNumberMax\" value=\"b\"/>",
       "\"x\"|\"4\"|5.0.\"b\""},
  };
  for (const auto& c : cases) {
    Read read(document(c.parms));
    std::string fields;
    for (const auto field : {SetupXmlListField::Arch, SetupXmlListField::MinVersion,
                             SetupXmlListField::MaxVersion}) {
      char text[kSetupXmlListFieldSize];
      const std::size_t length = formatSetupXmlListField(&read.xml, field, text, sizeof text);
      if (field != SetupXmlListField::Arch) fields += "|";
      fields.append(text, length);
    }
    EXPECT_EQ(fields, c.fields);
  }
  // No XML; a quoted value cut to the room, its closing quote kept.
  char text[8];
  EXPECT_EQ(formatSetupXmlListField(nullptr, SetupXmlListField::Arch, text, sizeof text), 0u);
  Read read(document("<parm name=\"ProcessorType\" value=\"abcdefghij\"/>"));
  formatSetupXmlListField(&read.xml, SetupXmlListField::Arch, text, sizeof text);
  EXPECT_STREQ(text, "\"abcde\"");
}

}  // namespace

// ListRowTest.cpp - the JSON form of the list: how every kind of byte of a
// string is written, and the setup-XML part of an object, which no listed
// file fills yet. The rest of both forms is checked end to end.
#include <string>

#include "TestSupport.h"
#include "app/ListRow.h"

namespace {

using ListRowTest = FakePlatformTest;

std::string lineText(const ListLine& line) {
  return std::string(line.text, line.used);
}

TEST_F(ListRowTest, StringBytes) {
  struct Case {
    std::string bytes;
    std::string json;
  };
  const Case cases[] = {
      {"", "\"\""},
      {" !#~/'", "\" !#~/'\""},                    // printable: as they are
      {"\"\\", "\"\\\"\\\\\""},                    // quote and backslash
      {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},       // the short escapes
      {"\x01\x0B\x1F", "\"\\u0001\\u000b\\u001f\""},  // other control bytes
      {"\x7F", "\"\\u007f\""},
      // Code-page bytes: the character of the same number (Latin-1).
      {"\x80\xA0\xE9\xFF", "\"\\u0080\\u00a0\\u00e9\\u00ff\""},
      {"C:\\caf\xE9", "\"C:\\\\caf\\u00e9\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    ListLine line = {};
    appendListError(&line, c.bytes.c_str(), c.bytes.c_str(), 7);
    EXPECT_EQ(lineText(line), "{\"path\": " + c.json + ", \"error\": " +
                                  c.json + ", \"exit\": 7}\r\n");
    freeListLine(&line);
  }
}

TEST_F(ListRowTest, SetupXmlPart) {
  SetupFile file;
  file.u32(SetupHeader::kArchitecture, 70001);
  file.appendText(SetupHeader::kAppNameText, std::string("App", 4));
  file.appendText(SetupHeader::kProviderText, std::string("Pro", 4));
  ExactBytes bytes(file.bytes);
  const std::string head =
      "{\"path\": \"p.cab\", \"member\": \"P.000\", \"arch\": 70001, "
      "\"archName\": \"ARM_7TDMI\", "
      "\"min\": {\"major\": 0, \"minor\": 0, \"build\": 0}, "
      "\"max\": {\"major\": 0, \"minor\": 0, \"build\": 0}, "
      "\"platforms\": [], \"signed\": false, \"programs\": [], "
      "\"app\": \"App\", \"provider\": \"Pro\", \"xml\": ";
  const ListXml all = {true, 2577, true, {3, 0, 0}, true, {5, 2, 4294967295u}};
  const ListXml archOnly = {true, 0, false, {1, 1, 1}, false, {1, 1, 1}};
  const ListXml none = {};
  struct Case {
    const ListXml* xml;
    std::string json;
  };
  const Case cases[] = {
      {nullptr, "null"},
      {&all,
       "{\"arch\": 2577, \"min\": {\"major\": 3, \"minor\": 0, \"build\": 0}, "
       "\"max\": {\"major\": 5, \"minor\": 2, \"build\": 4294967295}}"},
      {&archOnly, "{\"arch\": 0, \"min\": null, \"max\": null}"},
      {&none, "{\"arch\": null, \"min\": null, \"max\": null}"},
  };
  const ProgramFamilies programs = {};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    ListRecord record = makeListRecord("p.cab", bytes.data(), bytes.size(),
                                       "P.000", false, &programs);
    record.xml = c.xml;
    ListLine line = {};
    appendListObject(&line, record);
    EXPECT_EQ(lineText(line), head + c.json + "}\r\n");
    freeListLine(&line);
  }
}

}  // namespace

// ListRowTest.cpp - the JSON form of the list: how every kind of byte of a
// string is written; and the setup XML's part of a row and an object. The
// rest of both forms is checked end to end.
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

// A setup XML's part of a row and of an object, read from documents: the
// three columns as the XML's lines write the values, the numbers (a build
// only with its parm) or null in the object; and a cabinet with only a
// setup XML, whose setup-file fields are empty and whose app name is the
// XML's, in its Unicode characters.
TEST_F(ListRowTest, SetupXmlPart) {
  SetupFile file;
  file.u32(SetupHeader::kArchitecture, 70001);
  file.appendText(SetupHeader::kAppNameText, std::string("App", 4));
  file.appendText(SetupHeader::kProviderText, std::string("Pro", 4));
  ExactBytes bytes(file.bytes);
  const auto document = [](const std::string& parms) {
    return "<wap-provisioningdoc><characteristic type=\"Install\">" + parms +
           "</characteristic></wap-provisioningdoc>";
  };
  const std::string all = document(
      "<parm name=\"ProcessorType\" value=\"2577\"/>"
      "<parm name=\"OSVersionMin\" value=\"3.0\"/>"
      "<parm name=\"BuildNumberMin\" value=\"0\"/>"
      "<parm name=\"OSVersionMax\" value=\"5.2\"/>"
      "<parm name=\"BuildNumberMax\" value=\"-1\"/>"
      "<parm name=\"AppName\" value=\"Caf&#233; &#x1F600;\"/>");
  struct Case {
    std::string document;  // empty: no setup XML
    std::string columns;   // the row's last three
    std::string json;      // the object's xml
  };
  const Case cases[] = {
      {"", "\t\t", "null"},
      {all, "2577\t3.0.0\t5.2.4294967295",
       "{\"arch\": 2577, \"min\": {\"major\": 3, \"minor\": 0, \"build\": 0}, "
       "\"max\": {\"major\": 5, \"minor\": 2, \"build\": 4294967295}}"},
      {document("<parm name=\"OSVersionMax\" value=\"100.0\"/>"
                "<parm name=\"ProcessorType\" value=\"x\"/>"),
       "\"x\"\t\t100.0",
       "{\"arch\": null, \"min\": null, \"max\": {\"major\": 100, "
       "\"minor\": 0, \"build\": null}}"},
      {"<wap-provisioningdoc>", "\t\t",
       "{\"arch\": null, \"min\": null, \"max\": null}"},
  };
  const ProgramFamilies programs = {};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    SetupXml xml = {};
    ListXml part = {};
    if (!c.document.empty()) {
      readSetupXml(reinterpret_cast<const unsigned char*>(c.document.data()),
                   static_cast<std::uint32_t>(c.document.size()), &xml);
      part = makeListXml(xml);
    }
    ListRecord record = makeListRecord("p.cab", bytes.data(), bytes.size(),
                                       "P.000", false, &programs);
    record.xml = c.document.empty() ? nullptr : &part;
    ListLine line = {};
    appendListRow(&line, record);
    const std::string row = lineText(line);
    EXPECT_EQ(row.substr(row.rfind("Pro\t") + 4), c.columns + "\r\n");
    clearListLine(&line);
    appendListObject(&line, record);
    const std::string object = lineText(line);
    EXPECT_EQ(object.substr(object.rfind("\"xml\": ") + 7), c.json + "}\r\n");
    freeListLine(&line);
    releaseSetupXml(&xml);
  }

  SetupXml xml = {};
  readSetupXml(reinterpret_cast<const unsigned char*>(all.data()),
               static_cast<std::uint32_t>(all.size()), &xml);
  const ListXml part = makeListXml(xml);
  const ListRecord only =
      makeSetupXmlRecord("o.cab", "_setup.xml", true, &programs, xml, &part);
  ListLine line = {};
  appendListRow(&line, only);
  EXPECT_EQ(lineText(line),
            "o.cab\t_setup.xml\t\t\t\t\t\tyes\t\tCaf\xC3\xA9 \xF0\x9F\x98\x80\t\t"
            "2577\t3.0.0\t5.2.4294967295\r\n");
  clearListLine(&line);
  appendListObject(&line, only);
  EXPECT_EQ(lineText(line),
            "{\"path\": \"o.cab\", \"member\": \"_setup.xml\", \"arch\": null, "
            "\"archName\": null, \"min\": null, \"max\": null, "
            "\"platforms\": [], \"signed\": true, \"programs\": [], "
            "\"app\": \"Caf\\u00e9 \\ud83d\\ude00\", \"provider\": null, \"xml\": "
            "{\"arch\": 2577, \"min\": {\"major\": 3, \"minor\": 0, \"build\": 0}, "
            "\"max\": {\"major\": 5, \"minor\": 2, \"build\": 4294967295}}}\r\n");
  freeListLine(&line);
  releaseSetupXml(&xml);
}

}  // namespace

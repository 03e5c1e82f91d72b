// RealWorldTest.cpp - the report of real setup files taken from CE
// cabinets, against an independent reading of the same files.
//
// The files live beside the project (SETUPHDR_REALWORLD_DIR); without them
// the test skips itself.
#include <cstdio>
#include <map>
#include <string>

#include "TestSupport.h"
#include "header/HeaderReport.h"

namespace {

// The whole file at path, or false when it cannot be read.
bool readWholeFile(const std::string& path, std::string* bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes->clear();
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    bytes->append(chunk, got);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

// expected-display.txt: "== name" lines, each followed by the report lines
// of that file (LF line ends).
std::map<std::string, std::string> readExpected(const std::string& text) {
  std::map<std::string, std::string> blocks;
  std::string* current = nullptr;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.compare(0, 3, "== ") == 0) {
      current = &blocks[line.substr(3)];
    } else if (current != nullptr) {
      *current += line + "\n";
    }
    start = end + 1;
  }
  return blocks;
}

std::string withoutCarriageReturns(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
      continue;
    result += text[i];
  }
  return result;
}

using RealWorldTest = FakePlatformTest;

TEST_F(RealWorldTest, ReportsMatchTheIndependentReading) {
  const std::string folder = SETUPHDR_REALWORLD_DIR;
  std::string listing;
  if (!readWholeFile(folder + "/expected-display.txt", &listing))
    GTEST_SKIP() << "no real-world files in " << folder;

  const std::map<std::string, std::string> expected = readExpected(listing);
  EXPECT_EQ(expected.size(), 20u);
  for (const auto& entry : expected) {
    SCOPED_TRACE(entry.first);
    fake::reset();
    std::string bytes;
    ASSERT_TRUE(readWholeFile(folder + "/" + entry.first, &bytes));
    ExactBytes file(bytes);
    ASSERT_TRUE(validateHeader(file.data(), file.size())) << err();
    showHeader(file.data(), file.size());
    EXPECT_EQ(withoutCarriageReturns(out()), entry.second);
    EXPECT_EQ(err(), "");
  }
}

}  // namespace

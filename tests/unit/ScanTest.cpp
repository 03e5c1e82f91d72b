// ScanTest.cpp - words, numbers and text comparison on the command line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FakePlatform.h"
#include "text/Scan.h"

namespace {

TEST(ScanTest, ReadToken) {
  struct Case {
    const char* text;
    const char* delimiters;
    const char* word;    // null: no result
    std::size_t offset;  // of the returned position
  };
  const Case cases[] = {
      {"abc def", nullptr, "abc", 3},
      {"abc\tdef", nullptr, "abc", 3},
      {"abc", nullptr, "abc", 3},
      {"ab\"\"c d", nullptr, "ab\"c", 5},
      // A lone quote inside an unquoted word is an ordinary character.
      {"ab\"c d", nullptr, "ab\"c", 4},
      // Quoted: blanks belong to the word; the position is behind the quote.
      {"\"a b\"x", nullptr, "a b", 5},
      {"\"a \"\"b\"\" c\" d", nullptr, "a \"b\" c", 11},
      {"\"\"", nullptr, "", 2},
      {"\"\" x", nullptr, "", 2},
      {"\"\"\"\"", nullptr, "\"", 4},
      // Unterminated quoted words and the end of the text give no result.
      {"\"abc", nullptr, nullptr, 0},
      {"\"", nullptr, nullptr, 0},
      {"\"\"\"", nullptr, nullptr, 0},
      {"", nullptr, nullptr, 0},
      // Own delimiters, which a quoted word ignores.
      {"a,b c", ",", "a", 1},
      {"a b,c", ",", "a b", 3},
      {"\"a,b\",c", ",", "a,b", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char word[32];
    std::memset(word, '#', sizeof word);
    std::size_t length = 999;
    const char* end = readToken(c.text, word, sizeof word, c.delimiters,
                                &length);
    if (c.word == nullptr) {
      EXPECT_EQ(end, nullptr);
      // The buffer stays a terminated text (empty, or the partial word).
      EXPECT_NE(std::memchr(word, '\0', sizeof word), nullptr);
      if (c.text[0] == '\0') {
        EXPECT_STREQ(word, "");
      }
      continue;
    }
    ASSERT_NE(end, nullptr);
    EXPECT_STREQ(word, c.word);
    EXPECT_EQ(length, std::strlen(c.word));
    EXPECT_EQ(end, c.text + c.offset);
    // Without a destination the scan ends at the same place.
    EXPECT_EQ(readToken(c.text, nullptr, 0, c.delimiters), end);
  }
}

TEST(ScanTest, ReadTokenCutsTheStoredWordButNotTheScan) {
  const std::string text = std::string(30, 'w') + " next";
  struct Case {
    std::size_t capacity;
    std::size_t stored;
  };
  const Case cases[] = {{20, 19}, {31, 30}, {32, 30}, {2, 1}, {1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    char word[40];
    std::memset(word, '#', sizeof word);
    std::size_t length = 0;
    const char* end =
        readToken(text.c_str(), word, c.capacity, nullptr, &length);
    EXPECT_EQ(end, text.c_str() + 30);
    EXPECT_EQ(length, 30u);
    EXPECT_EQ(std::string(word), std::string(c.stored, 'w'));
    EXPECT_EQ(word[c.capacity], '#');  // nothing written behind the buffer
  }
}

TEST(ScanTest, ParseUnsigned) {
  struct Case {
    const char* text;
    unsigned radix;
    std::uint64_t value;
    std::size_t consumed;
  };
  const Case cases[] = {
      {"0", 10, 0, 1},
      {"123 x", 10, 123, 3},
      {"4294967295", 10, 4294967295u, 10},
      // The carrying digit is counted in the value but not consumed.
      {"4294967296", 10, 4294967296ull, 9},
      {"42949672950", 10, 42949672950ull, 10},
      {"99999999999", 10, 9999999999ull, 9},
      {"1f", 10, 1, 1},
      {"1f", 16, 31, 2},
      {"FFFFFFFF", 16, 0xFFFFFFFFu, 8},
      {"100000000", 16, 0x100000000ull, 8},
      {"zZ", 36, 35 * 36 + 35, 2},
      {"00000000000000000007", 10, 7, 20},
      // No digits: 0 and the end stays at the start.
      {"", 10, 0, 0},
      {"x1", 10, 0, 0},
      {" 1", 10, 0, 0},
      {"-1", 10, 0, 0},
      {"+1", 10, 0, 0},
      {".5", 10, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const char* end = nullptr;
    EXPECT_EQ(parseUnsigned(c.text, c.radix, &end), c.value);
    EXPECT_EQ(end, c.text + c.consumed);
  }
}

TEST(ScanTest, CompareText) {
  struct Case {
    const char* a;
    const char* b;
    int count;
    bool ignoreCase;
    bool equal;
  };
  const Case cases[] = {
      {"archive", "arch", 4, false, true},
      {"arch 5", "arch", 4, false, true},
      {"ARCHIVE", "arch", 4, false, false},
      {"ARCHIVE", "arch", 4, true, true},
      {"arc", "arch", 4, false, false},
      {"arch", "arc", 4, false, false},
      {"ar", "arch", 4, true, false},
      {"vermaxi", "vermin", 6, false, false},
      {"i386", "i386", -1, false, true},
      {"i386", "i3860", -1, false, false},
      {"i3860", "i386", -1, false, false},
      {"strongarm", "StrongARM", -1, true, true},
      {"strongarm", "StrongARM", -1, false, false},
      {"", "", -1, false, true},
      {"", "Any", -1, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(compareText(c.a, c.b, c.count, c.ignoreCase), c.equal);
  }
}

}  // namespace

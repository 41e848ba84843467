#include "platform/text_encoding.h"

#include <string>

#include <gtest/gtest.h>

namespace facset {
namespace {

struct RoundTrip {
  const char* utf8;
  const char* gbk;
};

TEST(TextEncoding, ChineseRoundTrip) {
  const RoundTrip cases[] = {
      {"使用串口", "\xCA\xB9\xD3\xC3\xB4\xAE\xBF\xDA"},
      {"Tarvik标签称工厂设定", "Tarvik\xB1\xEA\xC7\xA9\xB3\xC6\xB9\xA4\xB3\xA7\xC9\xE8\xB6\xA8"},
      {"  参数保存：", "  \xB2\xCE\xCA\xFD\xB1\xA3\xB4\xE6\xA3\xBA"},  // leading blanks, full-width colon
      {"plain ASCII\r\n", "plain ASCII\r\n"},
      {"", ""},
  };
  for (const RoundTrip& c : cases) {
    EXPECT_EQ(Utf8ToGbk(c.utf8), c.gbk) << c.utf8;
    EXPECT_EQ(GbkToUtf8(c.gbk), c.utf8) << c.utf8;
  }
}

TEST(TextEncoding, BadGbkBecomesReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  // A lead byte at the very end: truncated, never read past.
  EXPECT_EQ(GbkToUtf8("ab\xCA"), "ab" + fffd);
  // A lead byte followed by a byte that cannot end it: only the lead byte is lost.
  EXPECT_EQ(GbkToUtf8("\xCA" "0\xCA\xB9"), fffd + "0使");
  // 0x41 is a valid second byte: the pair is one character, not "?A".
  EXPECT_EQ(Utf8ToGbk(GbkToUtf8("\xCA" "A")), "\xCA" "A");
  EXPECT_EQ(GbkToUtf8("\xFF"), fffd);
  // NUL bytes are text like any other.
  EXPECT_EQ(GbkToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextEncoding, Utf8ThatGbkCannotHoldBecomesQuestionMark) {
  EXPECT_EQ(Utf8ToGbk("a😀b"), "a?b");          // outside GBK
  EXPECT_EQ(Utf8ToGbk("x\xE4\xBD"), "x?");      // truncated sequence
  EXPECT_EQ(Utf8ToGbk("\xC0\xAF" "z"), "??z");  // overlong form: each bad byte once
  EXPECT_EQ(Utf8ToGbk("\xE4\xBD\xBF\xFF使"), "\xCA\xB9?\xCA\xB9");
}

TEST(TextEncoding, LongTextsConvertWhole) {
  std::string utf8, gbk;
  for (int i = 0; i < 2000; ++i) {
    utf8 += "使用串口";
    gbk += "\xCA\xB9\xD3\xC3\xB4\xAE\xBF\xDA";
  }
  EXPECT_EQ(Utf8ToGbk(utf8), gbk);
  EXPECT_EQ(GbkToUtf8(gbk), utf8);
}

}  // namespace
}  // namespace facset

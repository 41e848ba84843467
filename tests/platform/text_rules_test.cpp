#include "platform/text_rules.h"

#include <gtest/gtest.h>

namespace facset {
namespace {

TEST(TextRules, TrimKeepsGbkPairsWhole) {
  const struct {
    std::string in, out;
  } cases[] = {
      {" \t a b \r\n", "a b"},
      {"\x7F" "x\x7F", "x"},          // DEL counts as a blank
      {"\x01\x1F", ""},
      {"\xB1\x20", "\xB1\x20"},       // 0x20 is the second byte of a pair here
      {" \xB1\xEA ", "\xB1\xEA"},
      {"\xB1", "\xB1"},               // a lone lead byte at the end stays
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TrimBlanks(c.in), c.out) << c.in;
}

TEST(TextRules, FoldingLowersAsciiLettersOnly) {
  EXPECT_EQ(FoldAscii("Byte[14 ]T"), "byte[14 ]t");
  // The second byte of a GBK pair can be an ASCII capital: it stays.
  EXPECT_EQ(FoldAscii("\x81" "A" "B"), "\x81" "Ab");
  EXPECT_TRUE(EqualsFoldedAscii("_CN", "_cn"));
  EXPECT_FALSE(EqualsFoldedAscii("_cn ", "_cn"));
  EXPECT_FALSE(EqualsFoldedAscii("\x81" "A", "\x81" "a"));
}

TEST(TextRules, EveryLineBreakBecomesOneLf) {
  EXPECT_EQ(ToLfBreaks("a\r\nb\rc\nd\n\re"), "a\nb\nc\nd\n\ne");
  EXPECT_EQ(ToLfBreaks("\r\n\r\n"), "\n\n");
  EXPECT_EQ(LineBreakLen("x\r\n", 1), 2u);
  EXPECT_EQ(LineBreakLen("x\r", 1), 1u);
  EXPECT_EQ(LineBreakLen("x\n", 0), 0u);
}

}  // namespace
}  // namespace facset

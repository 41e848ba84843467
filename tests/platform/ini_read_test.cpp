// Reads: how a file's bytes become sections, keys and values.

#include <string>

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using namespace std::string_literals;
using testing::TempDir;
using testing::WriteFileBytes;

struct ReadCase {
  const char* name;
  std::string content;
  std::string section, key, def;
  std::string expected;
};
// Test names and failure messages show the case name, not the struct's bytes.
inline void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }


// GBK sample bytes: "使用串口" and a character whose second byte is "]" (0x5D),
// one whose second byte is "=" would be invalid GBK, so 0x81 0x3D tests the rule.
const std::string kUseCom = "\xCA\xB9\xD3\xC3\xB4\xAE\xBF\xDA";

const ReadCase kReadCases[] = {
    {"PlainValue", "[a]\r\nk=v\r\n", "a", "k", "d", "v"},
    {"SectionCaseIgnored", "[Strings]\r\nKey=v\r\n", "STRINGS", "key", "d", "v"},
    {"KeyCaseIgnored", "[a]\r\nIsEnabled=1\r\n", "a", "ISENABLED", "d", "1"},
    {"MissingSection", "[a]\r\nk=v\r\n", "b", "k", "dflt", "dflt"},
    {"MissingKey", "[a]\r\nk=v\r\n", "a", "x", "dflt", "dflt"},
    {"EmptyValueIsNotDefault", "[a]\r\nk=\r\n", "a", "k", "dflt", ""},
    {"BlankValueIsEmpty", "[a]\r\nk=   \t\r\n", "a", "k", "dflt", ""},
    {"KeyWithoutEqualsGivesDefault", "[a]\r\nk\r\n", "a", "k", "dflt", "dflt"},
    {"BlanksAroundValueDropped", "[a]\r\nk =  some value \t\r\n", "a", "k", "d", "some value"},
    {"DoubleQuotesStripped", "[a]\r\nk=\" padded \"\r\n", "a", "k", "d", " padded "},
    {"SingleQuotesStripped", "[a]\r\nk='x'\r\n", "a", "k", "d", "x"},
    {"UnmatchedQuotesKept", "[a]\r\nk=\"x'\r\n", "a", "k", "d", "\"x'"},
    {"LoneQuoteKept", "[a]\r\nk=\"\r\n", "a", "k", "d", "\""},
    {"EqualsInValue", "[Aregb]\r\nAregb0=North=9.8015\r\n", "Aregb", "Aregb0", "", "North=9.8015"},
    {"InnerBlanksOfKeyKept", "[port]\r\nuse com = 1\r\n", "port", "use com", "d", "1"},
    {"InnerBlanksOfKeyMatter", "[port]\r\nuse com=1\r\n", "port", "usecom", "d", "d"},
    {"BracketKeyName", "[factory]\r\nbyte[14 ]t=Caption\r\n", "factory", "byte[14 ]t", "d", "Caption"},
    {"LookupNamesTrimmed", "[a]\r\nk=v\r\n", " a ", " k\t", "d", "v"},
    {"HeaderEndsAtLastBracket", "[ a ] junk\r\nk=v\r\n", "a", "k", "d", "v"},
    {"HeaderWithInnerBracket", "[a]b]\r\nk=v\r\n", "a]b", "k", "d", "v"},
    {"IndentedHeader", "  \t[a]\r\nk=v\r\n", "a", "k", "d", "v"},
    {"BracketWithoutCloseIsNoHeader", "[a]\r\n[b\r\nk=v\r\n", "a", "k", "d", "v"},
    {"BracketWithoutCloseIsAKey", "[a]\r\n[b=1\r\n", "a", "[b", "d", "1"},
    {"FirstEqualKeyWins", "[a]\r\nk=1\r\nK=2\r\n", "a", "k", "d", "1"},
    {"FirstEqualSectionWins", "[a]\r\nk=1\r\n[A]\r\nk=2\r\nj=3\r\n", "a", "j", "d", "d"},
    {"LinesBeforeHeaderBelongNowhere", "k=1\r\n[a]\r\nj=2\r\n", "", "k", "d", "d"},
    {"EmptySectionName", "[]\r\nk=1\r\n", "", "k", "d", "1"},
    {"LfOnly", "[a]\nk=v\n", "a", "k", "d", "v"},
    {"CrOnly", "[a]\rx=1\rk=v\r", "a", "k", "d", "v"},
    {"MixedRunsOfLineEnds", "[a]\n\r\r\n\rk=v", "a", "k", "d", "v"},
    {"NoFinalNewline", "[a]\r\nk=v", "a", "k", "d", "v"},
    {"ControlCharsTrimmed", "\x01[a]\x02\r\n\x00k=v\x00\x1f\r\n"s, "a", "k", "d", "v"},
    {"NulInsideValueKept", "[a]\r\nk=x\0y\r\n"s, "a", "k", "d", "x\0y"s},
    {"SemicolonLineIsAKey", "[a]\r\n;k=v\r\n", "a", ";k", "d", "v"},
    {"ChineseValue", "[Strings]\r\nsUseCom=" + kUseCom + "\r\n", "strings", "sUseCom", "d", kUseCom},
    {"ChineseKeyExact", "[a]\r\n" + kUseCom + "=1\r\n", "a", kUseCom, "d", "1"},
    // 0xC1 0x5D: the "]" belongs to the character, so the header ends at the last "]".
    {"GbkTrailBracketIsNoDelimiter", "[x\xC1]]\r\nk=v\r\n", "x\xC1]", "k", "d", "v"},
    {"GbkTrailBracketOnlyIsNoHeader", "[a]\r\n[x\xC1]=1\r\n", "a", "[x\xC1]", "d", "1"},
    // 0x81 0x3D: not a delimiter either; the first "=" after it splits.
    {"GbkTrailEqualsIsNoDelimiter", "[a]\r\nk\x81=x=y\r\n", "a", "k\x81=x", "d", "y"},
    // Second bytes 0x41 ("A") and 0x61 ("a") are different characters, not case variants.
    {"GbkTrailLetterNotFolded", "[a]\r\n\x81" "A=1\r\n", "a", "\x81" "a", "d", "d"},
    {"GbkTrailLetterExact", "[a]\r\n\x81" "A=1\r\n", "a", "\x81" "A", "d", "1"},
    {"AsciiAfterGbkStillFolded", "[a]\r\n\x81\x81K=1\r\n", "a", "\x81\x81k", "d", "1"},
    // The closing quote is the tail of 0x81 0x22, so the quotes do not match.
    {"QuoteAsGbkTailNotStripped", "[a]\r\nk=\"x\x81\"\r\n", "a", "k", "d", "\"x\x81\""},
    {"EmptyFile", "", "a", "k", "d", "d"},
};

class IniReadTable : public ::testing::TestWithParam<ReadCase> {};

TEST_P(IniReadTable, ReadsAsExpected) {
  TempDir dir;
  const ReadCase& c = GetParam();
  WriteFileBytes(dir / "t.ini", c.content);
  IniFile ini(dir / "t.ini");
  EXPECT_EQ(ini.ReadString(c.section, c.key, c.def), c.expected);
}

INSTANTIATE_TEST_SUITE_P(TrickyFiles, IniReadTable, ::testing::ValuesIn(kReadCases),
                         [](const auto& tc) { return std::string(tc.param.name); });

TEST(IniRead, MissingFileGivesDefaultsAndIsNotCreated) {
  TempDir dir;
  IniFile ini(dir / "none.ini");
  EXPECT_EQ(ini.ReadString("a", "k", "def"), "def");
  EXPECT_EQ(ini.ReadInteger("a", "k", 7), 7);
  EXPECT_TRUE(ini.ReadBool("a", "k", true));
  EXPECT_FALSE(std::filesystem::exists(dir / "none.ini"));
}

TEST(IniRead, ValueCutAt2047BytesWithoutSplittingACharacter) {
  TempDir dir;
  const std::string ascii(3000, 'x');
  // 2046 ASCII bytes, then a two-byte character straddling the limit.
  const std::string gbk = std::string(2046, 'y') + kUseCom;
  WriteFileBytes(dir / "t.ini", "[a]\r\nk=" + ascii + "\r\ng=" + gbk + "\r\nq=\"" + ascii + "\"\r\n");
  IniFile ini(dir / "t.ini");
  EXPECT_EQ(ini.ReadString("a", "k", ""), std::string(kIniMaxValue, 'x'));
  EXPECT_EQ(ini.ReadString("a", "g", ""), std::string(2046, 'y'));
  EXPECT_EQ(ini.ReadString("a", "q", ""), std::string(kIniMaxValue, 'x'));
}

TEST(IniRead, OneMegabyteLineIsReadAndCut) {
  TempDir dir;
  WriteFileBytes(dir / "t.ini", "[a]\r\nbig=" + std::string(1 << 20, 'z') + "\r\nk=v\r\n");
  IniFile ini(dir / "t.ini");
  EXPECT_EQ(ini.ReadString("a", "big", "").size(), kIniMaxValue);
  EXPECT_EQ(ini.ReadString("a", "k", ""), "v");
}

struct IntCase {
  const char* value;
  std::int32_t expected;  // default is -77
};

TEST(IniRead, Integers) {
  const IntCase cases[] = {
      {"0", 0},
      {"42", 42},
      {"+42", 42},
      {"-42", -42},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", -77},
      {"-2147483649", -77},
      {"99999999999999999999", -77},
      {"0xA6", 166},
      {"0Xa6", 166},
      {"$A6", 166},
      {"$ff", 255},
      {"-$10", -16},
      {"$7FFFFFFF", INT32_MAX},
      {"$FFFFFFFF", -1},  // a 32-bit pattern, as the tool's files have always meant it
      {"$100000000", -77},
      {"\"12\"", 12},  // quotes go before the number is read
      {"", -77},
      {"abc", -77},
      {"12abc", -77},
      {"1 2", -77},
      {"0x", -77},
      {"$", -77},
      {"-", -77},
      {"1.5", -77},
      {"0xG1", -77},
  };
  TempDir dir;
  std::string content = "[a]\r\n";
  for (std::size_t i = 0; i < std::size(cases); ++i) content += "k" + std::to_string(i) + "=" + cases[i].value + "\r\n";
  WriteFileBytes(dir / "t.ini", content);
  IniFile ini(dir / "t.ini");
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(ini.ReadInteger("a", "k" + std::to_string(i), -77), cases[i].expected) << "value " << cases[i].value;
  EXPECT_EQ(ini.ReadInteger("a", "missing", -77), -77);
}

TEST(IniRead, Booleans) {
  TempDir dir;
  WriteFileBytes(dir / "t.ini", "[a]\r\nt=1\r\nf=0\r\nh=0x10\r\nn=yes\r\ne=\r\n");
  IniFile ini(dir / "t.ini");
  EXPECT_TRUE(ini.ReadBool("a", "t", false));
  EXPECT_FALSE(ini.ReadBool("a", "f", true));
  EXPECT_TRUE(ini.ReadBool("a", "h", false));
  EXPECT_TRUE(ini.ReadBool("a", "n", true));  // not an integer: the default
  EXPECT_FALSE(ini.ReadBool("a", "n", false));
  EXPECT_TRUE(ini.ReadBool("a", "e", true));
  EXPECT_TRUE(ini.ReadBool("a", "missing", true));
}

}  // namespace
}  // namespace facset

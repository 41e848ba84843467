// Catalog formats: the conversions the catalog uses, and translators' slips.
#include <gtest/gtest.h>

#include "lang/catalog_format.h"

namespace facset {
namespace {

TEST(FormatCatalog, ConversionsOfTheCatalogAndHostileTexts) {
  struct Case {
    const char* format;
    std::initializer_list<CatalogArg> args;
    const char* expected;
  };
  const Case cases[] = {
      {"update(%d/%d)", {1, 300}, "update(1/300)"},
      {"Program Version: V%4.4d Program Verification Word:%4.4x", {0, 0},
       "Program Version: V0000 Program Verification Word:0000"},
      {"%4.4x|%x|%X", {0xbeef, 0xab, 10}, "BEEF|AB|A"},
      {"[%5d][%-5d][%05d][%.3d]", {42, 42, -42, 7}, "[   42][42   ][-0042][007]"},
      {"100%% %d", {5}, "100% 5"},
      // Texts go in as they stand, whatever the conversion says.
      {"Gravity must be between %s and %s, please re-enter", {"9.7000", "9.9000"},
       "Gravity must be between 9.7000 and 9.9000, please re-enter"},
      {"V%4.4d W:%4.4x", {"0000", "00AB"}, "V0000 W:00AB"},
      {"max:%s", {255}, "max:255"},
      // Translators' slips: unknown conversions, too few arguments, a text
      // that would crash printf, an absurd width.
      {"%n %d %s %d", {1}, "%n 1 %s %d"},
      {"%", {}, "%"},
      {"%99999999d", {1}, "                                                               1"},
      {"%d", {-9223372036854775807LL - 1}, "-9223372036854775808"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatCatalog(c.format, c.args), c.expected) << c.format;
}

}  // namespace
}  // namespace facset

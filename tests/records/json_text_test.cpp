#include "records/json_text.h"

#include <gtest/gtest.h>

namespace facset {
namespace {

// --json output must stay valid JSON whatever bytes a path or log line holds.
TEST(JsonText, StringsAreAlwaysValidJsonAndMembersKeepTheirOrder) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\n\r\t\x01", "\"\\n\\r\\t\\u0001\""},
      {"\xE7\xA7\xA4", "\"\xE7\xA7\xA4\""},            // UTF-8 passes as it is
      {"x\xFFy", "\"x\xEF\xBF\xBDy\""},                // a stray byte becomes U+FFFD
      {"\xB3\xC6", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},    // GBK that slipped through
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.in), c.want) << c.in;
  EXPECT_EQ(JsonObject().Str("k\"", "v").Int("n", -1).Bool("b", true).Null("z").Text(),
            "{\"k\\\"\":\"v\",\"n\":-1,\"b\":true,\"z\":null}");
}

// Many strings in one serialization come out as each would alone, however
// their quotes, backslashes and odd bytes fall.
TEST(JsonText, ManyStringsAtOnceAsEachAlone) {
  const std::vector<std::string> items = {"",       "plain", "a\"b\\", "\\", "\\\"", "\n\r\t\x01",
                                          "x\xFFy", "\xB3\xC6", "\xE7\xA7\xA4,\"],[", ""};
  const std::vector<std::string_view> views(items.begin(), items.end());
  const std::vector<std::string> all = JsonStrings(views);
  ASSERT_EQ(all.size(), items.size());
  for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(all[i], JsonString(items[i])) << i;
  EXPECT_TRUE(JsonStrings({}).empty());
}

}  // namespace
}  // namespace facset

// The option tables: what a command line means, and the option lines of --help.
#include "options.h"

#include <gtest/gtest.h>

#include "download_options.h"

namespace facset::cli {
namespace {

constexpr OptionSpec kTable[] = {
    {"--ip", "ADDR", "over UDP", true},
    {"--firmware", "PATH", "the image"},
    {"--json", "", "one document"},
    {"--a-rather-long-option", "VALUE", "its text goes on a line\nof its own"},
};

TEST(Options, ParsesInOrderAndKeepsWhereEachCameFrom) {
  using Args = std::vector<std::string>;
  const Args args = {"f.ini", "--ip", "127.0.0.2", "--firmware", "--ip", "-1", "--json", "--json",
                     "--ip", "127.0.0.3", "--", "--json"};
  const ParsedArgs p = ParseArgs(kTable, args);
  EXPECT_EQ(p.error, "");
  // A value is the next argument whatever it looks like; "-1" is a
  // positional; after "--" nothing is an option.
  EXPECT_EQ(p.Values("--ip"), (Args{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(p.Value("--firmware"), "--ip");
  EXPECT_EQ(p.positionals, (Args{"f.ini", "-1", "--json"}));
  EXPECT_TRUE(p.Has("--json"));  // a flag said twice says the same
  ASSERT_EQ(p.options.size(), 5u);
  EXPECT_EQ(p.options[3].spec->name, "--json");
  EXPECT_EQ(p.options[4].first, 8u);
  EXPECT_EQ(p.options[4].count, 2u);
  EXPECT_FALSE(p.help);

  const struct {
    Args args;
    std::string error;
  } bad[] = {
      {{"--firmware", "a", "--firmware", "b"}, "--firmware given twice"},
      {{"--ip"}, "--ip needs a value"},
      {{"--baud", "9600"}, "unknown option --baud"},
      {{"-x"}, "unknown option -x"},
  };
  for (const auto& b : bad) EXPECT_EQ(ParseArgs(kTable, b.args).error, b.error);
  EXPECT_TRUE(ParseArgs(kTable, Args{"f", "-h"}).help);
  EXPECT_FALSE(ParseArgs(kTable, Args{"--", "--help"}).help);
}

TEST(Options, HelpLinesShareOneColumnAndFitEightyColumns) {
  EXPECT_EQ(OptionHelp(kTable),
            "  --ip ADDR        over UDP\n"
            "  --firmware PATH  the image\n"
            "  --json           one document\n"
            "  --a-rather-long-option VALUE\n"
            "                   its text goes on a line\n"
            "                   of its own\n");
  const std::string help = OptionHelp(kDownloadOptions);
  for (std::size_t b = 0, e; b < help.size(); b = e + 1) {
    e = help.find('\n', b);
    EXPECT_LE(e - b, 80u) << help.substr(b, e - b);
  }
}

}  // namespace
}  // namespace facset::cli

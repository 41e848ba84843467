// Per-target values before anything is sent: the targets table, the value
// forms, and their resolution against a parameter file and a counter store.

#include <gtest/gtest.h>

#include <map>

#include "support/param_def.h"
#include "set_values.h"
#include "targets_csv.h"

namespace facset::cli {
namespace {

TEST(TargetsTable, ReadsQuotingBomLineBreaksAndComments) {
  const std::string text =
      "\xEF\xBB\xBFtarget, Scale number ,\"Shop code\",秤号\r\n"
      "127.0.0.2,1,\"A,1\",\r\n"
      "\r\n"
      "# 127.0.0.3,2,B,\r\n"
      "COM3,,\"say \"\"hi\"\"\",5\r\n"
      "127.0.0.4,3,\"two\n"
      "lines\",6\n";
  ASSERT_TRUE(IsTargetsTable(text));
  TargetsTable t;
  ASSERT_EQ(ParseTargetsTable(text, t), "");
  EXPECT_EQ(t.names, (std::vector<std::string>{"Scale number", "Shop code", "秤号"}));
  ASSERT_EQ(t.rows.size(), 3u);
  using V = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(t.rows[0].target, "127.0.0.2");
  EXPECT_EQ(t.rows[0].values, (V{{"Scale number", "1"}, {"Shop code", "A,1"}}));
  EXPECT_EQ(t.rows[0].line, 2);
  EXPECT_EQ(t.rows[1].target, "COM3");  // an empty cell leaves the file's value
  EXPECT_EQ(t.rows[1].values, (V{{"Shop code", "say \"hi\""}, {"秤号", "5"}}));
  EXPECT_EQ(t.rows[1].line, 5);
  EXPECT_EQ(t.rows[2].values, (V{{"Scale number", "3"}, {"Shop code", "two\nlines"}, {"秤号", "6"}}));
  EXPECT_EQ(t.rows[2].line, 6);
}

TEST(TargetsTable, PlainTargetLinesAreNoTable) {
  for (const char* text : {"127.0.0.2\n", "# target list\n127.0.0.2\n", "targets.txt\n", ""}) {
    EXPECT_FALSE(IsTargetsTable(text)) << text;
  }
  EXPECT_TRUE(IsTargetsTable("TARGET\n127.0.0.2\n"));
  EXPECT_TRUE(IsTargetsTable("\"target\",x\n"));
}

TEST(TargetsTable, MalformedTablesAreRefusedWithTheirLine) {
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"target,a\n127.0.0.2,1,2\n", "line 2: 3 fields where the header has 2"},
      {"target,a\n127.0.0.2\n", "line 2: 1 fields where the header has 2"},
      {"target,a\n127.0.0.2,\"1\n127.0.0.3,2\n", "line 2: a quoted field is never closed"},
      {"target,a\n127.0.0.2,1\"2\"\n", "line 2: a quote where RFC 4180 allows none"},
      {"target,a\n127.0.0.2,\"1\"x\n", "line 2: a quote where RFC 4180 allows none"},
      {"target,,b\n", "line 1: column 2 has no name"},
      {"target,Scale,scale\n", "line 1: column \"scale\" named twice"},
      {"target,a\n,1\n", "line 2: no target"},
      {"target,\xB3\xD3\xBA\xC5\n127.0.0.2,1\n", "not UTF-8 text"},  // a GBK header
  };
  for (const Case& c : cases) {
    TargetsTable t;
    const std::string why = ParseTargetsTable(c.text, t);
    EXPECT_NE(why.find(c.why), std::string::npos) << c.text << "\n -> " << why;
  }
}

TEST(ValueSources, FormsAndTheirRefusals) {
  struct Case {
    const char* arg;
    const char* name;     // "" when refused
    ValueSource::Kind kind;
    const char* detail;   // plain text, origin, or the refusal
    std::optional<std::int64_t> taken;
  } cases[] = {
      {"Scale number=7", "Scale number", ValueSource::Kind::Plain, "7", {}},
      {" Shop code =a=b", "Shop code", ValueSource::Kind::Plain, "a=b", {}},
      {"x=", "x", ValueSource::Kind::Plain, "", {}},
      {"n=seq:5", "n", ValueSource::Kind::Sequence, "seq:5:1", {}},
      {"n=seq:0:-2", "n", ValueSource::Kind::Sequence, "seq:0:-2", {}},
      {"n=seq:1:1=3", "n", ValueSource::Kind::Sequence, "seq:1:1", 3},
      {"n=counter:line-2.scale_no", "n", ValueSource::Kind::Counter, "counter:line-2.scale_no", {}},
      {"n=counter:scale=17", "n", ValueSource::Kind::Counter, "counter:scale", 17},
      {"novalue", "", {}, "--set takes NAME=VALUE", {}},
      {"=5", "", {}, "--set takes NAME=VALUE", {}},
      {"n=seq:", "", {}, "a sequence is seq:START", {}},
      {"n=seq:-1", "", {}, "a sequence is seq:START", {}},
      {"n=seq:1:0", "", {}, "a sequence is seq:START", {}},
      {"n=seq:1:x", "", {}, "a sequence is seq:START", {}},
      {"n=counter:", "", {}, "a counter's name has 1 to 64", {}},
      {"n=counter:a b", "", {}, "letters, digits", {}},
      {"n=counter:a=x", "", {}, "after \"=\" must be a whole number", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    GivenValue g;
    const std::string why = ParseSetArgument(c.arg, g);
    if (!*c.name) {
      EXPECT_NE(why.find(c.detail), std::string::npos) << why;
      continue;
    }
    ASSERT_EQ(why, "");
    EXPECT_EQ(g.name, c.name);
    EXPECT_EQ(g.source.kind, c.kind);
    EXPECT_EQ(g.source.kind == ValueSource::Kind::Plain ? g.source.text : g.source.Origin(), c.detail);
    EXPECT_EQ(g.source.taken, c.taken);
  }
}

// Counters in memory, with the rules of the station's store.
class MemoryCounters : public CounterStore {
 public:
  explicit MemoryCounters(std::map<std::string, std::int64_t>& values) : values_(values) {}
  std::string Where() const override { return "memory"; }
  CounterValue Next(std::string_view name) override {
    CounterValue v;
    v.value = values_.at(std::string(name));
    return v;
  }
  CounterValue Set(std::string_view name, std::int64_t next) override {
    values_[std::string(name)] = next;
    return Next(name);
  }
  CounterValue Take(std::string_view name, std::int64_t count, std::int64_t largest) override {
    CounterValue v;
    auto it = values_.find(std::string(name));
    if (it == values_.end()) {
      v.error = CounterError{CounterErrorCode::NoSuchCounter, "no counter " + std::string(name)};
    } else if (it->second + count - 1 > largest) {
      v.error = CounterError{CounterErrorCode::PastLimit, "past " + std::to_string(largest)};
    } else {
      v.value = it->second;
      it->second += count;
    }
    return v;
  }
  CounterList List() override { return {}; }

 private:
  std::map<std::string, std::int64_t>& values_;
};

using testing::Def;

class Resolve : public ::testing::Test {
 protected:
  void SetUp() override {
    ps.Defs[20] = Def("Shop code", 3, 1);
    ps.Defs[26] = Def("Scale number", 1, 0, "1 to 99");
    ps.Defs[29] = Def("Label paper", 1);
    ps.Defs[29].Option0 = "Gap";
    ps.Defs[29].Option1 = "Continuous";
    for (int i = 0; i < 8; ++i) targets.push_back("127.0.0." + std::to_string(i + 2));
  }

  GivenValue Given(const std::string& arg, const char* where = "--set") {
    GivenValue g;
    EXPECT_EQ(ParseSetArgument(arg, g), "") << arg;
    g.where = where;
    return g;
  }

  std::string Run(const std::vector<std::vector<GivenValue>>& perTarget) {
    storeAsked = 0;
    const auto store = [this] {
      ++storeAsked;
      return std::make_unique<MemoryCounters>(counters);
    };
    return ResolveValues(ps, perTarget, std::span(targets).first(perTarget.size()), store, out);
  }

  std::vector<std::string> Values(std::size_t value) {
    std::vector<std::string> v;
    for (const auto& t : out) v.push_back(t[value].value);
    return v;
  }

  ParamSet ps;
  std::vector<std::string> targets;
  std::map<std::string, std::int64_t> counters{{"scale", 250}, {"serial", 40}};
  std::vector<std::vector<ResolvedValue>> out;
  int storeAsked = 0;
};

TEST_F(Resolve, SequencesAndCountersGoToTheTargetsInTheirOrder) {
  std::vector<std::vector<GivenValue>> given(6);
  for (std::size_t i = 0; i < given.size(); ++i) {
    given[i] = {Given("Scale number=seq:10:5"), Given("Shop code=counter:serial"),
                Given("Label paper=" + std::to_string(i % 2), "t.csv line 2")};
  }
  ASSERT_EQ(Run(given), "");
  EXPECT_EQ(Values(0), (std::vector<std::string>{"10", "15", "20", "25", "30", "35"}));
  EXPECT_EQ(Values(1), (std::vector<std::string>{"40", "41", "42", "43", "44", "45"}));
  EXPECT_EQ(counters["serial"], 46);
  EXPECT_EQ(out[3][1].origin, "counter:serial");
  // What a target's own process gets: the value chosen, never a second take.
  EXPECT_EQ(SetArgumentOf(out[3][1]), "Shop code=counter:serial=43");
  EXPECT_EQ(SetArgumentOf(out[3][0]), "Scale number=seq:10:5=25");
  EXPECT_EQ(SetArgumentOf(out[3][2]), "Label paper=1");

  std::vector<std::vector<GivenValue>> child = {{Given(SetArgumentOf(out[3][1])), Given(SetArgumentOf(out[3][0]))}};
  ASSERT_EQ(Run(child), "");
  EXPECT_EQ(storeAsked, 0);
  EXPECT_EQ(counters["serial"], 46);
  ParamSet applied = ps;
  ApplyValues(applied, out[0]);
  EXPECT_EQ(applied.Block[26], 25);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&applied.Block[20]), 3), std::string("43\0", 3));
}

TEST_F(Resolve, ARefusalTakesNothingAndNamesTargetParameterAndValue) {
  struct Case {
    std::vector<std::vector<std::string>> given;  // per target
    const char* why;
  } cases[] = {
      // The fifth target's plain value fails: the counter is never asked.
      {{{"Scale number=counter:scale"}, {"Scale number=counter:scale"}, {"Scale number=counter:scale"},
        {"Scale number=counter:scale"}, {"Scale number=counter:scale", "Shop code=ABCD"}},
       "127.0.0.6: Shop code: \"ABCD\": longer than 3 bytes"},
      {{{"Scale number=seq:250:3"}, {"Scale number=seq:250:3"}, {"Scale number=seq:250:3"}},
       "127.0.0.4: Scale number: seq:250:3 gives 256, outside 0 to 255"},
      {{{"Scale number=4", "byte[26]=5"}}, "byte[26]: the same parameter as \"Scale number\" is given a value twice"},
      {{{"Scale numbr=4"}}, "no parameter called \"Scale numbr\""},
      {{{"calibration gravity=counter:scale"}}, "needs a parameter that takes a number"},
      {{{"Label paper=seq:1"}, {"Label paper=seq:1"}}, "127.0.0.3: Label paper: seq:1:1 gives 2, outside 0 to 1"},
      // Seven values from 250 would pass 255: refused by the store, nothing taken.
      {{{"Scale number=counter:scale"}, {"Scale number=counter:scale"}, {"Scale number=counter:scale"},
        {"Scale number=counter:scale"}, {"Scale number=counter:scale"}, {"Scale number=counter:scale"},
        {"Scale number=counter:scale"}},
       "past 255"},
      {{{"Scale number=counter:nosuch"}}, "no counter nosuch"},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<GivenValue>> given;
    for (const auto& t : c.given) {
      given.emplace_back();
      for (const std::string& a : t) given.back().push_back(Given(a));
    }
    const std::string why = Run(given);
    EXPECT_NE(why.find(c.why), std::string::npos) << c.why << "\n -> " << why;
    EXPECT_EQ(counters["scale"], 250);
  }
}

}  // namespace
}  // namespace facset::cli

// The one verdict: how the facts of a run become its outcome, exit code and
// reason, and the words every output spells them with.
#include <gtest/gtest.h>

#include "download/verdict.h"

namespace facset {
namespace {

using S = StepOutcome;

TEST(Verdict, EachEndingGivesItsOutcomeCodeAndReason) {
  struct Case {
    const char* name;
    RunFacts facts;
    RunOutcome outcome;
    int exitCode;
    std::string reasonHas;  // "" = no reason
  };
  auto facts = [](S connect, S block, S firmware) {
    RunFacts f;
    f.connect = connect;
    f.block = block;
    f.firmware = firmware;
    f.target = "127.0.0.2";
    return f;
  };
  auto with = [](RunFacts f, auto change) {
    change(f);
    return f;
  };
  const Case cases[] = {
      {"done", facts(S::Ok, S::Ok, S::NotAsked), RunOutcome::Ok, 0, ""},
      {"done with firmware", facts(S::Ok, S::Ok, S::Completed), RunOutcome::Ok, 0, ""},
      {"unreachable", facts(S::Failed, S::NotRun, S::NotRun), RunOutcome::Failed, 3,
       "no connection to the scale at 127.0.0.2"},
      {"port cannot open", with(facts(S::Failed, S::NotRun, S::NotAsked), [](RunFacts& f) { f.openError = "EACCES"; }),
       RunOutcome::Failed, 3, "(EACCES)"},
      // The upgrade still runs after a refused block; the block decides the code.
      {"block refused, firmware done", facts(S::Ok, S::Failed, S::Completed), RunOutcome::Failed, 4,
       "did not acknowledge the parameter block"},
      {"block held by XOFF", with(facts(S::Ok, S::Failed, S::NotRun), [](RunFacts& f) { f.end = StepEnd::Held; }),
       RunOutcome::Failed, 4, "flow control held the request back"},
      {"block failed", facts(S::Ok, S::Ok, S::BlockFailed), RunOutcome::Failed, 5, "a firmware block"},
      {"line gone in the upgrade",
       with(facts(S::Ok, S::Ok, S::BlockFailed), [](RunFacts& f) { f.end = StepEnd::LineGone; }), RunOutcome::Failed,
       5, "serial line went away"},
      {"image unreadable",
       with(facts(S::Ok, S::Ok, S::CannotRead), [](RunFacts& f) { f.firmwareError = "not a regular file"; }),
       RunOutcome::Failed, 5, "cannot be read: not a regular file"},
      {"no image", facts(S::Ok, S::Ok, S::NoFile), RunOutcome::Failed, 5, "not found"},
      // A failure the scale's answers prove wins over an acknowledgement they do not.
      {"block not proven, firmware failed", facts(S::Ok, S::NotProven, S::EntryFailed), RunOutcome::Failed, 5,
       "upgrade mode"},
      {"block not proven",
       with(facts(S::Ok, S::NotProven, S::NotAsked), [](RunFacts& f) { f.notProven = "a copy came 40 ms late"; }),
       RunOutcome::NotProven, 7, "not proven: a copy came 40 ms late"},
      {"log-on not proven", facts(S::NotProven, S::Ok, S::Completed), RunOutcome::NotProven, 7, "not proven"},
      {"aborted mid-upgrade",
       with(facts(S::Ok, S::Ok, S::Aborted), [](RunFacts& f) { f.aborted = f.upgradeStarted = true; }),
       RunOutcome::Aborted, 130, "middle of a firmware upgrade"},
      {"aborted while connecting", with(facts(S::Aborted, S::NotRun, S::NotAsked), [](RunFacts& f) { f.aborted = true; }),
       RunOutcome::Aborted, 130, "interrupted"},
      // An error beats everything: the steps after it are unknown.
      {"transport error",
       with(facts(S::Ok, S::Unknown, S::NotRun), [](RunFacts& f) { f.error = "sendto: Network is unreachable"; }),
       RunOutcome::Failed, 1, "Network is unreachable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Verdict v = Judge(c.facts);
    EXPECT_EQ(v.outcome, c.outcome);
    EXPECT_EQ(v.exitCode, c.exitCode);
    EXPECT_EQ(v.connect, c.facts.connect);
    EXPECT_EQ(v.block, c.facts.block);
    EXPECT_EQ(v.firmware, c.facts.firmware);
    if (c.reasonHas.empty()) {
      EXPECT_EQ(v.reason, "");
    } else {
      EXPECT_NE(v.reason.find(c.reasonHas), std::string::npos) << v.reason;
    }
    EXPECT_EQ(OutcomeOfExitCode(v.exitCode), c.outcome);
  }
}

// One word per outcome, read back as written; the words of earlier records
// and of earlier --json documents read as the same outcomes.
TEST(Verdict, OneVocabularyAndTheEarlierWords) {
  for (int i = 0; i <= static_cast<int>(S::Unknown); ++i) {
    const auto o = static_cast<S>(i);
    const std::string_view word = Spell(o);
    EXPECT_EQ(word.find(' '), std::string_view::npos) << word;
    EXPECT_EQ(ParseStepOutcome(word), o) << word;
  }
  for (RunOutcome o : {RunOutcome::Ok, RunOutcome::NotProven, RunOutcome::Failed, RunOutcome::Aborted}) {
    EXPECT_EQ(ParseRunOutcome(Spell(o)), o);
  }
  const std::pair<const char*, S> earlier[] = {
      {"not run", S::NotRun},          {"not asked", S::NotAsked},       {"block failed", S::BlockFailed},
      {"entry failed", S::EntryFailed}, {"cannot read", S::CannotRead},  {"no file", S::NoFile},
      {"acknowledged", S::Ok},          {"not_acknowledged", S::Failed}, {"skipped", S::NotRun},
      {"interrupted", S::Aborted},
  };
  for (const auto& [word, o] : earlier) EXPECT_EQ(ParseStepOutcome(word), o) << word;
  EXPECT_FALSE(ParseStepOutcome("maybe"));
  EXPECT_FALSE(ParseRunOutcome("done"));
}

}  // namespace
}  // namespace facset

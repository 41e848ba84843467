// The download command's way to one target or several.
#include "gang.h"

#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

#include <algorithm>

#include "download/preflight.h"
#include "download/verdict.h"
#include "download_options.h"
#include "output.h"
#include "params/param_model.h"
#include "platform/text_encoding.h"
#include "set_values.h"

namespace facset::cli {
namespace {

constexpr const char* kSeveralTargetsHelp =
    "\nSeveral scales at once: --ip and --com may be given several times, and\n"
    "--targets FILE names targets one a line (a dotted IPv4 address or a serial\n"
    "port such as COM3; blank lines and \"#\" comments are skipped), or is a\n"
    "table of values per target: a first line beginning with \"target\", e.g.\n"
    "\"target,Scale number,Shop code\", then one row per target (CSV as RFC 4180\n"
    "has it; an empty cell keeps FILE's value). UTF-8 or ASCII, a byte order mark\n"
    "allowed; UTF-16 is refused. Every target and every value is checked before\n"
    "any target is started: a serial device must exist, open and be a terminal,\n"
    "no two targets may be one scale by different names, and none may be in use\n"
    "by another run of this station; one refused target refuses them all (exit\n"
    "6, nothing sent). Each target then runs in a process of its own, at most\n"
    "--jobs at once (32 unless said, fewer when the open-file limit allows no\n"
    "more); the others wait their turn. Their lines come prefixed with\n"
    "\"[TARGET] \", and a summary (target, outcome, seconds) of every target ends\n"
    "the output. The exit status is the worst of the targets', in this order:\n"
    "130 interrupted, 2 bad usage, 6 input refused, 1 other error, 5 firmware\n"
    "failed, 4 block not acknowledged, 3 no connection, 7 not proven, 0 done.\n"
    "SIGINT, SIGTERM and SIGHUP are passed on to every target running, and no\n"
    "further target starts; should this process die, each target still stops\n"
    "as interrupted and keeps its record. With --json the output is one JSON\n"
    "array of the targets' documents (the summary goes to stderr); with\n"
    "--targets it is an array whatever the number of targets.\n";

// The array --json gives when no target ran: one document per target named,
// each saying why nothing was sent.
std::string RefusedArray(const std::vector<GangTarget>& targets, const std::string& reason) {
  QJsonArray a;
  for (const GangTarget& t : targets) {
    QJsonObject o;
    o["ok"] = false;
    o["exit_code"] = kExitInputRefused;
    o["outcome"] = QString::fromUtf8(Spell(RunOutcome::Failed));
    o["error"] = QString::fromStdString(reason);
    o["target"] = QString::fromStdString(t.name);
    o["transport"] = t.serial ? "serial" : "udp";
    a.append(o);
  }
  return QJsonDocument(a).toJson(QJsonDocument::Indented).toStdString();
}

// The values of every target (--set for all, a table's row for each), checked
// against FILE before any target starts; counters are taken here, once for
// the run, in target order. Each target's process then gets its own values,
// already chosen, as --set options of its own. nullopt, or the exit code of a
// refusal (nothing sent).
std::optional<int> ResolveTargetValues(TargetArgs& t) {
  const ParsedArgs p = ParseArgs(kDownloadOptions, t.rest);
  const bool tableValues =
      std::any_of(t.targets.begin(), t.targets.end(), [](const GangTarget& g) { return !g.values.empty(); });
  if ((!p.Has(kOptSet) && !tableValues) || p.positionals.size() != 1) return std::nullopt;
  auto refuse = [](const std::string& why) {
    Fail(why);
    return kExitInputRefused;
  };
  const std::string& file = p.positionals[0];
  if (std::string why = CheckParamFile(file); !why.empty()) return refuse(why);
  ParamSet ps;
  LoadParamSet(IniFile(file), ps);

  std::vector<GivenValue> forAll;
  std::vector<bool> drop(t.rest.size(), false);
  for (const GivenOption& g : p.options) {
    if (g.spec->name != kOptSet) continue;
    std::fill_n(drop.begin() + static_cast<long>(g.first), g.count, true);
    if (std::string why = ParseSetArgument(g.value, forAll.emplace_back()); !why.empty()) return refuse(why);
  }
  std::vector<std::vector<GivenValue>> perTarget;
  std::vector<std::string> names;
  for (const GangTarget& target : t.targets) {
    std::vector<GivenValue>& given = perTarget.emplace_back(forAll);
    for (const auto& [name, value] : target.values) {
      GivenValue& g = given.emplace_back();
      g.name = name;
      g.where = target.where;
      if (std::string why = ParseValueSource(value, g.source); !why.empty()) {
        return refuse(target.name + ": " + name + " (" + target.where + "): " + why);
      }
    }
    names.push_back(target.name);
  }
  std::vector<std::vector<ResolvedValue>> resolved;
  if (std::string why = ResolveValues(ps, perTarget, names, CountersInUse, resolved); !why.empty()) {
    return refuse(why);
  }
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < t.rest.size(); ++i) {
    if (!drop[i]) rest.push_back(t.rest[i]);
  }
  t.rest = std::move(rest);
  for (std::size_t i = 0; i < t.targets.size(); ++i) {
    for (const ResolvedValue& v : resolved[i]) {
      t.targets[i].args.push_back(std::string(kOptSet));
      t.targets[i].args.push_back(SetArgumentOf(v));
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<int> RunDownloadTargets(const Command& cmd, std::span<const std::string> args, SingleTarget& single) {
  TargetArgs t = SplitTargetArgs(args);
  if (t.help) {
    PrintHelp(cmd);
    std::printf("%s", kSeveralTargetsHelp);
    return kExitOk;
  }
  if (!t.usageError.empty()) return UsageError(cmd, t.usageError);
  if (!t.inputError.empty()) {
    Stderr().Write("facset-cli: " + EscapeForTerminal(t.inputError) + "\n");
    if (t.json) Stdout().Write("[]\n");
    return kExitInputRefused;
  }
  if (t.targets.size() > 1) {
    std::string reason;
    if (const auto refused = CheckEveryTarget(cmd, t.targets, t.rest, reason)) {
      if (t.json && *refused == kExitInputRefused) Stdout().Write(RefusedArray(t.targets, reason));
      return *refused;
    }
    // Last of the checks: it takes the counters' values.
    if (std::optional<int> refused = ResolveTargetValues(t)) return *refused;
    GangPlan plan;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return Fail("cannot find this program's path");
    plan.program.assign(self, static_cast<std::size_t>(n));
    plan.lead = {std::string(cmd.name)};
    plan.rest = t.rest;
    plan.targets = t.targets;
    plan.json = t.json;
    plan.jobs = t.jobs;
    std::fflush(stdout);
    std::vector<int> codes;
    for (const GangChildResult& r : RunGang(plan)) codes.push_back(r.code);
    return WorstExitCode(codes);
  }
  single.args.assign(args.begin(), args.end());
  single.jsonArray = t.fromFile && t.json;
  if (t.fromFile) {
    single.args = {t.targets[0].serial ? "--com" : "--ip", t.targets[0].name};
    single.args.insert(single.args.end(), t.rest.begin(), t.rest.end());
    // One row of a table: its values go with the single run's own --set.
    for (const auto& [name, value] : t.targets[0].values) {
      single.args.push_back(std::string(kOptSet));
      single.args.push_back(name + "=" + value);
    }
  }
  return std::nullopt;
}

}  // namespace facset::cli

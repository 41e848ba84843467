#include "download_report.h"

#include <cstdio>

#include "records/json_text.h"
#include "records/values_set.h"

namespace facset::cli {
namespace {

std::string OptionalText(const std::string& s) { return s.empty() ? "null" : JsonString(s); }

std::string FirmwareJson(const FirmwareFacts& f) {
  JsonObject fw;
  fw.Str("path", f.path).Int("size", f.size.value_or(0)).Raw("sha256", OptionalText(f.sha256));
  fw.Int("blocks_sent", f.blocksSent).Int("blocks_total", f.blocksToSend);
  return fw.Text();
}

std::string StepJson(StepOutcome o) { return JsonObject().Str("outcome", Spell(o)).Text(); }

}  // namespace

Verdict RefusedInput(std::string why, bool firmwareAsked) {
  Verdict v;
  if (firmwareAsked) v.firmware = StepOutcome::NotRun;
  v.exitCode = kExitInputRefused;
  v.outcome = RunOutcome::Failed;
  v.reason = std::move(why);
  return v;
}

std::string JsonOf(const TargetReport& t) {
  const Verdict& v = t.verdict;
  JsonObject steps;
  steps.Raw("connect", StepJson(v.connect)).Raw("block", StepJson(v.block)).Raw("firmware", StepJson(v.firmware));
  JsonObject j;
  j.Bool("ok", v.exitCode == kExitOk).Int("exit_code", v.exitCode).Str("outcome", Spell(v.outcome));
  j.Raw("error", OptionalText(v.reason));
  // Unknown when FILE was refused before its link settings were read.
  j.Raw("target", OptionalText(t.target)).Raw("transport", OptionalText(t.transport));
  j.Str("started", t.started);
  char secs[32];
  std::snprintf(secs, sizeof secs, "%.3f", t.seconds);
  j.Raw("seconds", secs);
  j.Raw("block_sha256", OptionalText(t.blockSha256));
  j.Raw("steps", steps.Text());
  j.Raw("firmware", t.firmware ? FirmwareJson(*t.firmware) : "null");
  j.Raw("values", ValuesSetJson(t.values));
  j.Raw("lines", JsonStringArray(t.lines));
  return j.Text() + "\n";
}

}  // namespace facset::cli

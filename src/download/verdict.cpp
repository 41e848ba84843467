#include "download/verdict.h"

#include <array>
#include <utility>

namespace facset {
namespace {

constexpr std::array<std::pair<StepOutcome, std::string_view>, 14> kStepWords = {{
    {StepOutcome::NotRun, "not_run"},
    {StepOutcome::NotAsked, "not_asked"},
    {StepOutcome::Ok, "ok"},
    {StepOutcome::Completed, "completed"},
    {StepOutcome::NotProven, "not_proven"},
    {StepOutcome::Failed, "failed"},
    {StepOutcome::NoFile, "no_file"},
    {StepOutcome::CannotRead, "cannot_read"},
    {StepOutcome::EntryFailed, "entry_failed"},
    {StepOutcome::StartFailed, "start_failed"},
    {StepOutcome::BlockFailed, "block_failed"},
    {StepOutcome::FinishFailed, "finish_failed"},
    {StepOutcome::Aborted, "aborted"},
    {StepOutcome::Unknown, "unknown"},
}};

// Words of earlier outputs: records stored "not run", "block failed", ...;
// download --json said "acknowledged", "not_acknowledged", "skipped" and
// "interrupted".
constexpr std::array<std::pair<std::string_view, StepOutcome>, 4> kOldStepWords = {{
    {"acknowledged", StepOutcome::Ok},
    {"not_acknowledged", StepOutcome::Failed},
    {"skipped", StepOutcome::NotRun},
    {"interrupted", StepOutcome::Aborted},
}};

constexpr std::array<std::pair<RunOutcome, std::string_view>, 4> kRunWords = {{
    {RunOutcome::Ok, "ok"},
    {RunOutcome::NotProven, "not_proven"},
    {RunOutcome::Failed, "failed"},
    {RunOutcome::Aborted, "aborted"},
}};

std::string Underscored(std::string_view word) {
  std::string w(word);
  for (char& c : w) {
    if (c == ' ') c = '_';
  }
  return w;
}

bool IsFirmwareFailure(StepOutcome o) {
  switch (o) {
    case StepOutcome::NoFile:
    case StepOutcome::CannotRead:
    case StepOutcome::EntryFailed:
    case StepOutcome::StartFailed:
    case StepOutcome::BlockFailed:
    case StepOutcome::FinishFailed:
    case StepOutcome::Failed: return true;
    default: return false;
  }
}

// What the way a request ended adds to a reason.
std::string EndText(StepEnd e) {
  switch (e) {
    case StepEnd::None: return {};
    case StepEnd::Refused: return " (the scale refused it)";
    case StepEnd::NoAnswer: return " (no answer)";
    case StepEnd::LineGone: return " (the serial line went away)";
    case StepEnd::Held:
      return " (the scale's flow control held the request back past the hold limit; it was not sent)";
    case StepEnd::Busy: return " (the link was busy with another request)";
  }
  return {};
}

std::string FirmwareReason(const RunFacts& f) {
  switch (f.firmware) {
    case StepOutcome::NoFile: return "firmware file not found";
    case StepOutcome::CannotRead:
      return "the firmware file cannot be read" + (f.firmwareError.empty() ? std::string() : ": " + f.firmwareError);
    case StepOutcome::EntryFailed: return "the scale did not enter its upgrade mode";
    case StepOutcome::StartFailed: return "the scale refused to start the upgrade";
    case StepOutcome::BlockFailed: return "the scale did not acknowledge a firmware block";
    case StepOutcome::FinishFailed: return "the scale did not acknowledge the end of the upgrade";
    default: return "the firmware upgrade failed";
  }
}

}  // namespace

Verdict Judge(const RunFacts& f) {
  Verdict v;
  v.connect = f.connect;
  v.block = f.block;
  v.firmware = f.firmware;
  if (!f.error.empty()) {
    v.outcome = RunOutcome::Failed;
    v.exitCode = kExitError;
    v.reason = f.error;
    return v;
  }
  if (f.aborted) {
    v.outcome = RunOutcome::Aborted;
    v.exitCode = kExitInterrupted;
    v.reason = f.upgradeStarted ? "interrupted; the scale may be left in the middle of a firmware upgrade"
                                : "interrupted";
    return v;
  }
  v.outcome = RunOutcome::Failed;
  if (f.connect != StepOutcome::Ok && f.connect != StepOutcome::NotProven) {
    v.exitCode = kExitUnreachable;
    v.reason = "no connection to the scale at " + f.target;
    if (!f.openError.empty()) v.reason += " (" + f.openError + ")";
    v.reason += EndText(f.end);
    return v;
  }
  if (f.block == StepOutcome::Failed) {
    v.exitCode = kExitBlockRefused;
    v.reason = "the scale did not acknowledge the parameter block" + EndText(f.end);
    return v;
  }
  if (IsFirmwareFailure(f.firmware)) {
    v.exitCode = kExitFirmwareFailed;
    v.reason = FirmwareReason(f) + EndText(f.end);
    return v;
  }
  if (f.connect == StepOutcome::NotProven || f.block == StepOutcome::NotProven ||
      f.firmware == StepOutcome::NotProven) {
    v.outcome = RunOutcome::NotProven;
    v.exitCode = kExitNotProven;
    v.reason = "not proven: " + (f.notProven.empty() ? std::string("an answer may belong to another request")
                                                     : f.notProven);
    return v;
  }
  v.outcome = RunOutcome::Ok;
  v.exitCode = kExitOk;
  return v;
}

std::string_view Spell(StepOutcome o) {
  for (const auto& [k, w] : kStepWords) {
    if (k == o) return w;
  }
  return "unknown";
}

std::string_view Spell(RunOutcome o) {
  for (const auto& [k, w] : kRunWords) {
    if (k == o) return w;
  }
  return "failed";
}

std::optional<StepOutcome> ParseStepOutcome(std::string_view word) {
  const std::string w = Underscored(word);
  for (const auto& [k, s] : kStepWords) {
    if (s == w) return k;
  }
  for (const auto& [s, k] : kOldStepWords) {
    if (s == w) return k;
  }
  return std::nullopt;
}

std::optional<RunOutcome> ParseRunOutcome(std::string_view word) {
  const std::string w = Underscored(word);
  for (const auto& [k, s] : kRunWords) {
    if (s == w) return k;
  }
  return std::nullopt;
}

std::string_view ExitCodeText(int code) {
  switch (code) {
    case kExitOk: return "done";
    case kExitUsage: return "bad usage";
    case kExitUnreachable: return "unreachable";
    case kExitBlockRefused: return "block not acknowledged";
    case kExitFirmwareFailed: return "firmware failed";
    case kExitInputRefused: return "input refused";
    case kExitNotProven: return "not proven";
    case kExitInterrupted: return "interrupted";
    default: return "failed";
  }
}

RunOutcome OutcomeOfExitCode(int code) {
  switch (code) {
    case kExitOk: return RunOutcome::Ok;
    case kExitNotProven: return RunOutcome::NotProven;
    case kExitInterrupted: return RunOutcome::Aborted;
    default: return RunOutcome::Failed;
  }
}

}  // namespace facset

#pragma once
// The verdict of a download, computed once here: how each step ended, the
// run's outcome and facset-cli's exit code. The log, --json, the station
// record, `history` and the window only spell it, with the words below.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace facset {

// facset-cli's exit codes (the download's, and those every command shares).
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;           // the command failed; message on stderr
inline constexpr int kExitUsage = 2;           // bad command line; usage on stderr
inline constexpr int kExitUnreachable = 3;     // no link, or the log-on refused
inline constexpr int kExitBlockRefused = 4;    // the parameter block not acknowledged
inline constexpr int kExitFirmwareFailed = 5;  // the firmware upgrade failed
inline constexpr int kExitInputRefused = 6;    // refused before connecting: nothing sent
inline constexpr int kExitNotProven = 7;       // acknowledged, but not provably by the scale's answer to it
inline constexpr int kExitInterrupted = 130;   // aborted by a signal

// How one step ended. Connect and block use NotRun, Ok, NotProven, Failed,
// Aborted, Unknown; the firmware step has its own words for success and for
// each part that can fail.
enum class StepOutcome : std::uint8_t {
  NotRun,        // not reached
  NotAsked,      // firmware: no upgrade was asked for
  Ok,            // connect: logged on; block: acknowledged
  Completed,     // firmware: the scale acknowledged the end of the upgrade
  NotProven,     // acknowledged, but the answer may belong to another request
  Failed,        // refused or not answered
  NoFile,        // firmware: no such file (nothing logged, nothing sent)
  CannotRead,    // firmware: the image cannot be read or numbered in blocks
  EntryFailed,   // firmware: the upgrade entry not answered
  StartFailed,   // firmware: the start refused twice (or the new log-on)
  BlockFailed,   // firmware: an image block not acknowledged
  FinishFailed,  // firmware: the end not acknowledged
  Aborted,       // stopped by the operator or a signal
  Unknown,       // an error ended the run while the step ran
};

// The run as a whole.
enum class RunOutcome : std::uint8_t { Ok, NotProven, Failed, Aborted };

// How the request that decided a failed (or unproven) step ended, when the
// engine could tell; it gives the reason its words.
enum class StepEnd : std::uint8_t {
  None,       // nothing to add (acknowledged, or a refusal the step's own words say)
  Refused,    // the scale answered "refused"
  NoAnswer,   // no usable answer after every repeat
  LineGone,   // the serial line went away
  Held,       // the scale's XOFF held the request back past the hold limit; it never left
  Busy,       // the engine was serving another request
};

struct Verdict {
  StepOutcome connect = StepOutcome::NotRun;
  StepOutcome block = StepOutcome::NotRun;
  StepOutcome firmware = StepOutcome::NotAsked;
  RunOutcome outcome = RunOutcome::Failed;
  int exitCode = kExitError;
  // Why the outcome is not ok, in words (UTF-8): what facset-cli prints on
  // stderr, --json's "error" and the record's error. "" when ok.
  std::string reason;
};

// The facts a verdict is judged from, as the run gathered them.
struct RunFacts {
  StepOutcome connect = StepOutcome::NotRun;
  StepOutcome block = StepOutcome::NotRun;
  StepOutcome firmware = StepOutcome::NotAsked;
  StepEnd end = StepEnd::None;  // how the last failed request ended
  bool aborted = false;         // the operator or a signal stopped the run
  bool upgradeStarted = false;  // the scale was asked into its upgrade mode
  std::string target;           // as the reason names it: the address or the list name (UTF-8)
  std::string openError;        // why the link could not be opened, when the system said
  std::string firmwareError;    // why the image could not be read
  std::string notProven;        // why an acknowledgement is not proven
  std::string error;            // an exception that ended the run
};

// The one judgement: each step's outcome as stored, the run's outcome, the
// exit code and the reason. Precedence: an error (1), aborted (130), then the
// first failed step (3, 4, 5: the upgrade still runs after a refused block),
// then not proven (7), else ok (0).
Verdict Judge(const RunFacts& facts);

// The words, one per outcome, used by every output: "ok", "not_run",
// "block_failed", ...
std::string_view Spell(StepOutcome o);
std::string_view Spell(RunOutcome o);
// The inverse; the spellings of records written before these words
// ("not run", "block failed", "acknowledged", "skipped", ...) read too.
std::optional<StepOutcome> ParseStepOutcome(std::string_view word);
std::optional<RunOutcome> ParseRunOutcome(std::string_view word);

// A few words for an exit code, as a summary shows it: "done", "unreachable", ...
std::string_view ExitCodeText(int code);
// The run's outcome an exit code stands for (a refused input counts as failed).
RunOutcome OutcomeOfExitCode(int code);

}  // namespace facset

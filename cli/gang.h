#pragma once
// Several scales at once: `facset-cli download FILE` with more than one target
// runs one child `facset-cli download --ip X ...` (or `--com NAME`) per target,
// at most --jobs at a time. The program keeps a single protocol engine, so a
// process per target is what keeps each target's link, time-outs and failures
// its own. Every target is checked before the first child starts. The parent
// prefixes every line of each child with its target, prints a summary and
// exits with the worst child's code.

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"

namespace facset::cli {

struct GangTarget {
  bool serial = false;  // true: --com NAME, false: --ip ADDR
  std::string name;     // as given: "127.0.0.2", "COM3", "/dev/ttyUSB0"
  // A targets table's cells for this target: (column name, value), and
  // where the row stands ("targets.csv line 3").
  std::vector<std::pair<std::string, std::string>> values{};
  std::string where{};
  // Arguments for this target's process alone, after the others (its values).
  std::vector<std::string> args{};
};

// Empty when `name` may be passed to a child as its target, else why not.
// Serial: a list name COMn or a device path starting with "/".
std::string CheckGangTarget(const GangTarget& target);

// The targets of a targets file's text: one a line, a dotted IPv4 address or a
// serial name; blank lines and "#" comments skipped, CR LF accepted, a UTF-8
// byte order mark skipped. Or a targets table (targets_csv.h): a header line
// beginning with "target", then a row of values per target. UTF-16 text (or
// any NUL byte) is refused as such. Returns an empty string, or why: "line N:
// ...", "UTF-16 text ...".
std::string ParseTargetsText(std::string_view text, std::vector<GangTarget>& out);

// Downloads at once unless --jobs says otherwise.
inline constexpr int kDefaultJobs = 32;
inline constexpr int kMaxJobs = 10000;

// A download command line split into its targets and everything else.
struct TargetArgs {
  std::vector<GangTarget> targets;  // --ip and --com in order, then --targets files
  std::vector<std::string> rest;    // the other arguments, unchanged and in order
  bool fromFile = false;            // --targets was given
  bool help = false;                // --help or -h before "--"
  bool json = false;                // --json
  int jobs = kDefaultJobs;          // --jobs
  std::string usageError;           // a malformed option
  std::string inputError;           // a targets file unreadable or refused
};
// Every target is checked (CheckGangTarget) and duplicates refused, but only
// when more than one is named or --targets is used: a single --ip or --com
// stays exactly as the single download takes it.
TargetArgs SplitTargetArgs(std::span<const std::string> args);

// Every target checked as its own run would check it, before any starts: the
// options and FILE once (--strict included), then each target's link (a
// serial device must exist, open and be a terminal) and the firmware image,
// targets that are one device or one address by another name, and a target
// another process of the station holds. Returns nothing when all may start,
// else the exit code (2 or 6); the reason is then on stderr.
std::optional<int> CheckEveryTarget(const Command& cmd, const std::vector<GangTarget>& targets,
                                    std::span<const std::string> rest, std::string& reason);

// Severity of exit codes, most severe first; 0 only when every code is 0. An
// unknown non-zero code counts as 1.
inline constexpr int kGangSeverity[] = {130, 2, 6, 1, 5, 4, 3, 7};
int WorstExitCode(std::span<const int> codes);

// `asked` children at once, or fewer when the open-file limit would not hold
// their pipes (each running child keeps two open here); at least 1.
int JobsWithinFileLimit(int asked);

struct GangPlan {
  std::string program;              // the executable each child runs
  std::vector<std::string> lead;    // arguments before the target option ({"download"})
  std::vector<std::string> rest;    // arguments after it
  std::vector<GangTarget> targets;
  bool json = false;                // children print one JSON document each
  int jobs = kDefaultJobs;          // children at once, at most
  int outFd = 1, errFd = 2;
};

struct GangChildResult {
  GangTarget target;
  int code = 1;          // exit code; a child killed by SIGINT/SIGTERM/SIGHUP gives 130, by any other signal 1
  int signal = 0;        // the signal that ended it, 0 when it exited
  bool started = true;   // false: a signal stopped the runner before this target's turn
  double seconds = 0;
  std::string document;  // --json: the child's document, or one of ours saying what went wrong
};

// Runs the children, at most plan.jobs at once, each target in its turn, and
// waits for all of them. A child that cannot be started for want of
// descriptors or processes waits until another ends. SIGINT, SIGTERM and
// SIGHUP received meanwhile are passed on to every child running, and no
// further child starts. Output that cannot be written never stops the runner:
// it goes on reading its children to their end. Writes the prefixed lines,
// then the summary (stdout, or stderr with --json, where stdout gets one JSON
// array). Returns the results in target order.
std::vector<GangChildResult> RunGang(const GangPlan& plan);

// What the single-target download runs with.
struct SingleTarget {
  std::vector<std::string> args;  // the arguments as given, or with a targets file's one target put in
  bool jsonArray = false;         // --targets with --json: the document goes into an array
};

// The download command's entry for targets: returns the exit code when the
// command is done here (several targets, a refused target, help), else fills
// `single` for the ordinary single-target run.
std::optional<int> RunDownloadTargets(const Command& cmd, std::span<const std::string> args, SingleTarget& single);

}  // namespace facset::cli

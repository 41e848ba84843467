// The targets of a several-targets download: read from the command line and
// targets files, and checked, every one, before the first child starts.
#include <cstdlib>
#include <map>
#include <set>

#include "download/download.h"
#include "download/preflight.h"
#include "download/run_settings.h"
#include "download/serial_names.h"
#include "download/target_lock.h"
#include "download_options.h"
#include "download_target.h"
#include "gang.h"
#include "output.h"
#include "platform/safe_files.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"
#include "targets_csv.h"

namespace facset::cli {
namespace {

// A targets file of 65,536 addresses is below 1 MiB.
constexpr std::uint64_t kMaxTargetsFile = std::uint64_t{1} << 20;

bool IsSerialName(std::string_view s) { return ComNumber(s) > 0 || (!s.empty() && s[0] == '/'); }

// One spelling per target, so that "com3" and "COM3" count as the same port.
std::string TargetKey(const GangTarget& t) {
  if (t.serial && ComNumber(t.name) > 0) return "COM" + std::to_string(ComNumber(t.name));
  return (t.serial ? "s:" : "u:") + t.name;
}

// What a target reaches, whatever its name: the serial device's real path
// (a link, a list name and a /dev path may all name one port), or the address
// and port.
std::string ReachedKey(const DownloadTarget& t) {
  if (const auto* s = std::get_if<SerialTarget>(&t)) {
    std::string path = s->device;
    if (char* real = ::realpath(s->device.c_str(), nullptr)) {
      path = real;
      std::free(real);
    }
    return "serial " + path;
  }
  const auto& u = std::get<UdpTarget>(t);
  return "udp " + u.address + ":" + std::to_string(u.port);
}

std::optional<int> ToJobs(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return {};
  const int v = std::stoi(text);
  if (v < 1 || v > kMaxJobs) return {};
  return v;
}

}  // namespace

std::string CheckGangTarget(const GangTarget& t) {
  if (!t.serial) {
    if (IsDottedQuad(t.name)) return {};
    return "'" + t.name + "' is not a dotted IPv4 address such as 192.168.1.87";
  }
  if (IsSerialName(t.name)) return {};
  return "unknown serial port '" + t.name + "' (a list name such as COM3, or a device path starting with /)";
}

std::string ParseTargetsText(std::string_view text, std::vector<GangTarget>& out) {
  // What Windows editors save: UTF-16 with its byte order mark, UTF-8 with one.
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    return "UTF-16 text, which is not read here: save it as UTF-8 (or plain ASCII), one target a line";
  }
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return "a NUL byte at byte " + std::to_string(nul + 1) +
           " (UTF-16 text?): save it as UTF-8 (or plain ASCII), one target a line";
  }
  text = WithoutBom(text);
  if (IsTargetsTable(text)) {
    TargetsTable table;
    if (std::string why = ParseTargetsTable(text, table); !why.empty()) return why;
    for (TargetsRow& row : table.rows) {
      GangTarget t{!IsDottedQuad(row.target), row.target, std::move(row.values), "line " + std::to_string(row.line), {}};
      if (t.serial && !IsSerialName(t.name)) {
        return t.where + ": '" + t.name + "' is neither a dotted IPv4 address nor a serial port such as COM3";
      }
      out.push_back(std::move(t));
    }
    return {};
  }
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    line = TrimBlanks(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    GangTarget t{!IsDottedQuad(line), std::string(line)};
    if (t.serial && !IsSerialName(line)) {
      return "line " + std::to_string(number) + ": '" + t.name +
             "' is neither a dotted IPv4 address nor a serial port such as COM3";
    }
    out.push_back(std::move(t));
  }
  return {};
}

TargetArgs SplitTargetArgs(std::span<const std::string> args) {
  TargetArgs t;
  const ParsedArgs p = ParseArgs(kDownloadOptions, args);
  t.help = p.help;
  t.json = p.Has(kOptJson);
  if (!p.error.empty()) {
    t.usageError = p.error;
    return t;
  }
  std::vector<bool> listed;  // per target: came from a targets file
  std::vector<bool> taken(args.size(), false);
  for (const GivenOption& g : p.options) {
    const std::string_view name = g.spec->name;
    if (name == kOptJobs) {
      const auto jobs = ToJobs(g.value);
      if (!jobs) {
        t.usageError = "--jobs is a number from 1 to " + std::to_string(kMaxJobs);
        return t;
      }
      t.jobs = *jobs;
    }
    if (name != kOptIp && name != kOptCom && name != kOptTargets && name != kOptJobs) continue;
    std::fill_n(taken.begin() + static_cast<long>(g.first), g.count, true);
    if (name == kOptJobs) continue;
    if (name != kOptTargets) {
      t.targets.push_back({name == kOptCom, g.value});
      listed.push_back(false);
      continue;
    }
    t.fromFile = true;
    // A regular file or a pipe, bounded: never a folder, a device or /dev/zero.
    std::string text;
    std::string error = ReadWholeFile(g.value, kMaxTargetsFile, text, true);
    if (!error.empty()) {
      t.inputError = "cannot read the targets file " + g.value + ": " + error;
      return t;
    }
    const std::size_t before = t.targets.size();
    if (error = ParseTargetsText(text, t.targets); !error.empty()) {
      t.inputError = g.value + ": " + error;
      return t;
    }
    for (std::size_t k = before; k < t.targets.size(); ++k) {
      if (!t.targets[k].where.empty()) t.targets[k].where = g.value + " " + t.targets[k].where;
    }
    if (listed.size() == t.targets.size()) {
      t.inputError = "no target in " + g.value;
      return t;
    }
    listed.resize(t.targets.size(), true);
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!taken[i]) t.rest.push_back(args[i]);
  }
  if (t.targets.size() < 2 && !t.fromFile) return t;
  std::set<std::string> seen;
  for (std::size_t k = 0; k < t.targets.size(); ++k) {
    std::string& error = listed[k] ? t.inputError : t.usageError;
    if (std::string why = CheckGangTarget(t.targets[k]); !why.empty()) {
      error = why;
      return t;
    }
    if (!seen.insert(TargetKey(t.targets[k])).second) {
      error = "target " + t.targets[k].name + " named twice";
      return t;
    }
  }
  return t;
}

std::optional<int> CheckEveryTarget(const Command& cmd, const std::vector<GangTarget>& targets,
                                    std::span<const std::string> rest, std::string& reason) {
  auto refuse = [&](std::string why) {
    reason = std::move(why) + "; nothing was sent to any target";
    Stderr().Write("facset-cli: " + EscapeForTerminal(reason) + "\n");
    return kExitInputRefused;
  };
  // The options and FILE are the same for every child: checked once here.
  const ParsedArgs parsed = ParseArgs(kDownloadOptions, rest);
  DownloadOptions common;
  if (std::string why = parsed.error.empty() ? ReadDownloadOptions(parsed, common) : parsed.error; !why.empty()) {
    reason = why;
    return UsageError(cmd, why);
  }
  const UdpPortSetting udp = ReadScaleUdpPortEnv();
  if (!udp.error.empty()) return refuse(udp.error);
  ParamInput in;
  if (std::string why = ReadParamInput(common.file, in, false); !why.empty()) return refuse(why);
  // Without --strict each child warns of its own.
  if (common.strict) {
    if (std::string why = ReportBytesOutsideRange(common.file, in.outside, true); !why.empty()) return refuse(why);
  }
  std::map<std::string, std::string> reached;  // what a target reaches -> its name
  std::vector<DownloadRequest> requests;
  for (const GangTarget& g : targets) {
    DownloadOptions o = common;
    (g.serial ? o.com : o.ip) = g.name;
    DownloadRequest r;
    if (std::string why = PrepareRequest(o, in.ps, udp.port, r); !why.empty()) {
      return refuse(why);
    }
    const auto [at, fresh] = reached.emplace(ReachedKey(r.target), g.name);
    if (!fresh) {
      return refuse("targets " + at->second + " and " + g.name + " are one scale (" + at->first.substr(at->first.find(' ') + 1) + ")");
    }
    requests.push_back(std::move(r));
  }
  // A target another run of this station holds would be refused once the
  // others had started: looked at now, each lock let go again at once.
  for (const DownloadRequest& r : requests) {
    const TargetLock::Taken taken = TargetLock::Take(r.target, kTargetLockWait);
    if (!taken.refusal.empty()) return refuse(taken.refusal.substr(0, taken.refusal.rfind("; nothing was sent")));
  }
  return std::nullopt;
}

}  // namespace facset::cli

#include "download_target.h"

#include <unistd.h>

#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>

#include "download/download_messages.h"
#include "download/preflight.h"
#include "download/serial_names.h"
#include "download/sha256.h"
#include "download_printer.h"
#include "output.h"
#include "run_forward.h"
#include "set_values.h"
#include "lang/lang.h"
#include "params/param_model.h"
#include "platform/paths.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"
#include "platform/version.h"
#include "protocol/scale_link.h"
#include "records/download_record.h"
#include "records/records.h"

namespace facset::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_before[std::size(kInterruptSignals)] {};
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// The --json "started" text keeps whole seconds: "2026-12-10T04:01:26Z".
std::string WholeSeconds(const std::string& iso) { return iso.substr(0, 19) + "Z"; }

// The language that FILE names, from the language file in the tool's folder.
// FILE itself is never written. When the language file cannot be read or
// completed, the built-in catalog of that language serves.
void SetUpLanguage(const IniFile& file) {
  SetLangCatalogFallback(true);
  try {
    LangOpen(file);
  } catch (const EIniError& e) {
    std::fprintf(stderr, "facset-cli: warning: %s; the built-in texts are used\n", EscapeForTerminal(e.what()).c_str());
  }
}

std::unique_ptr<IniFile> ToolConfig() {
  const std::string path = FilesDir() + std::string(kToolConfigName);
  if (::access(path.c_str(), R_OK) != 0) return nullptr;
  return std::make_unique<IniFile>(path);
}

// The request FILE and the options make, or why there is none. Serial ports
// are named as the window names them: a list name resolved through
// facconfig.ini, or a device path as given.
std::string BuildRequest(const DownloadOptions& o, const ParamSet& ps, int udpPort, DownloadRequest& r) {
  const bool serial = o.ip ? false : (o.com ? true : ps.UseCom);
  if (serial) {
    const std::string text = o.com ? *o.com : ComListText(ps.ComIndex);
    const bool chosen = o.com ? *o.com != "NONE" : ps.ComIndex != 0;
    const std::string name(TrimBlanks(text));
    if (name.empty() || !chosen) {
      // The window's words first, in the chosen encoding.
      return (o.gbk ? std::string(kMsgPortNotSet) : GbkToUtf8(kMsgPortNotSet)) + " (no serial port chosen)";
    }
    const std::string device = name[0] == '/' ? name : ResolveSerialDevice(name, ToolConfig().get());
    r.target = SerialTarget{text, device};
  } else {
    r.target = UdpTarget{o.ip ? *o.ip : ps.DeviceIp, udpPort > 0 ? udpPort : kScaleUdpPort};
  }
  r.block = ps.Block;
  const bool firmware = o.firmware ? true : (o.noFirmware ? false : ps.DownProg);
  if (firmware) r.firmware = o.firmware ? *o.firmware : FirmwarePathOf(ps);
  r.speedIndex = o.speedIndex;
  r.retries = o.retries;
  r.timeoutMs = o.timeoutMs;
  r.acceptForeignSender = o.anySender;
  return {};
}

}  // namespace

void ArmInterrupt() {
  for (std::size_t i = 0; i < std::size(kInterruptSignals); ++i) {
    ::sigaction(kInterruptSignals[i], nullptr, &g_before[i]);
    // Started ignoring it (nohup, a script's background job): it stays ignored.
    if (g_before[i].sa_handler == SIG_IGN) continue;
    struct sigaction act {};
    act.sa_handler = OnInterrupt;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESTART;
    ::sigaction(kInterruptSignals[i], &act, nullptr);
  }
}

void DisarmInterrupt() {
  for (std::size_t i = 0; i < std::size(kInterruptSignals); ++i) ::sigaction(kInterruptSignals[i], &g_before[i], nullptr);
}

std::string ReadParamInput(const std::string& path, ParamInput& in, bool language) {
  if (std::string why = CheckParamFile(path); !why.empty()) return why;
  const IniFile file(path);
  LoadParamSet(file, in.ps);
  in.outside = BytesOutsideRange(file);
  if (language) SetUpLanguage(file);
  return {};
}

std::string ReportBytesOutsideRange(const std::string& path, const std::vector<ByteOutsideRange>& outside,
                                    bool strict) {
  const std::string file = EscapeForTerminal(path);
  for (const ByteOutsideRange& b : outside) {
    std::string line = "facset-cli: " + std::string(strict ? "" : "warning: ") + file + ": " +
                       std::string(ByteKeys[static_cast<std::size_t>(b.byte)]) + "=" + EscapeForTerminal(b.text) +
                       " is not a byte (0..255)";
    if (!strict) line += "; " + std::to_string(b.sent) + " is sent";
    Stderr().Write(line + "\n");
  }
  if (!strict || outside.empty()) return {};
  return path + ": " + std::to_string(outside.size()) + (outside.size() == 1 ? " value" : " values") +
         " outside a byte (0..255), refused by --strict";
}

std::string PrepareRequest(const DownloadOptions& o, const ParamSet& ps, int udpPort, DownloadRequest& r) {
  if (std::string why = BuildRequest(o, ps, udpPort, r); !why.empty()) return why;
  return PreflightDownload(r);
}

TargetReport RunTarget(const DownloadOptions& o, int udpPort) {
  TargetReport t;
  RecordContext c;
  c.startUtc = UtcNowIso();
  c.program = "facset-cli";
  c.version = std::string(ProjectVersion());
  c.paramFile = o.file;
  c.withExitCode = true;
  t.started = WholeSeconds(c.startUtc);
  const auto began = std::chrono::steady_clock::now();
  auto done = [&]() -> TargetReport {
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    return std::move(t);
  };
  auto refuse = [&](std::string why) {
    t.verdict = RefusedInput(std::move(why), t.firmware.has_value());
    return done();
  };

  ParamInput in;
  if (std::string why = ReadParamInput(o.file, in, true); !why.empty()) return refuse(why);
  ParamSet& ps = in.ps;
  DownloadRequest request;
  std::string why = BuildRequest(o, ps, udpPort, request);
  t.transport = TransportName(request.target);
  t.target = IsSerial(request.target) ? GbkToUtf8(TargetLogName(request.target)) : TargetLogName(request.target);
  if (why.empty()) why = PreflightDownload(request);
  if (why.empty() && o.strict) why = ReportBytesOutsideRange(o.file, in.outside, true);
  if (request.firmware) {
    t.firmware.emplace();
    t.firmware->path = *request.firmware;
  }
  if (!why.empty()) return refuse(why);
  // The values set for this run, checked against FILE; counters are taken
  // last, when nothing else can refuse the run before it starts.
  if (!o.sets.empty()) {
    std::vector<std::vector<GivenValue>> given(1);
    for (const std::string& s : o.sets) ParseSetArgument(s, given[0].emplace_back());
    const std::string target[] = {t.target};
    std::vector<std::vector<ResolvedValue>> resolved;
    if (std::string refused = ResolveValues(ps, given, target, CountersInUse, resolved); !refused.empty()) {
      return refuse(refused);
    }
    ApplyValues(ps, resolved[0]);
    request.block = ps.Block;
    for (const ResolvedValue& v : resolved[0]) request.valuesSet.push_back({v.name, v.value, v.origin});
    t.values = request.valuesSet;
  }
  // A value set for this run replaces what FILE held there: no word about FILE's text then.
  std::erase_if(in.outside, [&](const ByteOutsideRange& b) { return ps.Block[static_cast<std::size_t>(b.byte)] != b.sent; });
  ReportBytesOutsideRange(o.file, in.outside, false);

  // The factory database is reached while the run goes on.
  RunForward forward(DefaultRecordsFolder());
  Printer out(o.gbk, o.json);
  CreateScaleComm();
  DownloadRun run(request, out);
  // A signal ends the run between two waits and releases the port.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&run] {
    if (g_interrupted) run.Abort();
  });
  watch.start(100);
  DownloadOutcome result;
  if (!g_interrupted) result = run.Run();
  watch.stop();
  // A signal before the run, or one the engine did not notice, still ends it as interrupted.
  if (g_interrupted && !result.facts.aborted) {
    result.facts.aborted = true;
    result.verdict = Judge(result.facts);
  }
  out.Finish();
  DestroyScaleComm();
  LangShutdown();

  t.verdict = result.verdict;
  // Another process holds the scale: nothing was sent, nothing to record.
  // A counter's value taken for the run is spent all the same: say which.
  if (!result.refused.empty()) {
    for (const ValueSet& v : request.valuesSet) {
      if (v.origin.rfind("counter:", 0) == 0) {
        t.verdict.reason += "; " + v.origin + " gave " + v.value + " to this run, never given again";
      }
    }
    return done();
  }
  if (result.blockWentOut) t.blockSha256 = Sha256Hex(result.blockSent.data(), result.blockSent.size());
  if (result.firmware) t.firmware = result.firmware;
  c.log = out.lines();
  // Never stops or fails the download: the log says so and the exit code stays.
  if (const AppendResult a = AppendRecord(DefaultRecordsFolder(), MakeDownloadRecord(request, result, c)); !a) {
    out.AppendUtf8(RecordNotKeptLine(*a.error));
    out.Finish();
  } else {
    forward.RecordKept();
  }
  t.lines = out.lines();
  return done();
}

}  // namespace facset::cli

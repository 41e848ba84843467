#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "cli.h"
#include "gang.h"
#include "download/download.h"
#include "download/preflight.h"
#include "download/run_settings.h"
#include "download/serial_names.h"
#include "json_writer.h"
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
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// The serial speeds in the order of the log-on's speed index.
constexpr int kSpeeds[] = {9600, 19200, 38400, 57600, 115200};
constexpr int kDefaultRetries = 6;
constexpr int kDefaultTimeoutMs = 800;
constexpr int kMaxRetries = 10;
constexpr int kMaxTimeoutMs = 60000;
// Blocks 0..31 of an image are never sent.
constexpr std::int64_t kUnsentBlocks = 32;

struct Options {
  std::string file;
  std::optional<std::string> ip;
  std::optional<std::string> com;
  std::optional<std::string> firmware;
  bool noFirmware = false;
  bool gbk = false;
  bool json = false;
  int speedIndex = 0;
  int retries = kDefaultRetries;
  int timeoutMs = kDefaultTimeoutMs;
};

// Everything one download to one scale produced; --json prints it as is.
struct TargetResult {
  int exitCode = kExitError;
  std::string error;  // why it failed, for stderr ("" when done)
  std::string target, transport;  // "" when FILE was refused
  std::string started;  // UTC, ISO 8601
  double seconds = 0;
  std::string blockSha256;  // of the 256 bytes sent; "" when none went out
  std::string connect = "skipped", block = "skipped", firmware = "skipped";
  bool firmwareAsked = false;
  std::string firmwarePath, firmwareSha256;
  std::int64_t firmwareSize = 0, blocksSent = 0, blocksTotal = 0;
  bool upgradeStarted = false;  // the scale was asked into its upgrade mode
  std::vector<std::string> lines;  // the log as it ends, UTF-8
};

// The --json "started" text keeps whole seconds: "2026-12-10T04:01:26Z".
std::string WholeSeconds(const std::string& iso) { return iso.substr(0, 19) + "Z"; }

// The log lines as they reach stdout. Each line is written and flushed as
// soon as it is complete. On a terminal the progress line is rewritten in
// place (at most every 50 ms, the last text always lands) with blocks, percent,
// rate and time left; elsewhere the progress text is written as a line of its
// own each time another tenth of the image is done. `lines()` keeps the log as
// the window's ends, for --json (which writes nothing here).
class Printer {
 public:
  Printer(bool gbk, bool quiet) : gbk_(gbk), quiet_(quiet), tty_(!quiet && ::isatty(STDOUT_FILENO) == 1) {}
  ~Printer() { Finish(); }

  void Append(std::string_view gbk) { Add(GbkToUtf8(ToLfBreaks(gbk)), Shown(gbk)); }

  // A line of this program's own, already UTF-8: kept as it is, whatever GBK can hold.
  void AppendUtf8(const std::string& utf8) { Add(utf8, gbk_ ? Utf8ToGbk(utf8) : utf8); }

  void ReplaceLast(std::string_view gbk) {
    if (lastStart_ >= lines_.size()) return Append(gbk);
    lines_.resize(lastStart_);
    AddLines(GbkToUtf8(ToLfBreaks(gbk)));
    pending_ = Escaped(Shown(gbk));
    hasPending_ = true;
    if (tty_ && throttle_.Due()) ShowInPlace();
  }

  // `done` of `total` image blocks handled.
  void Progress(std::int64_t done, std::int64_t total) {
    if (!started_) {
      started_ = true;
      since_ = std::chrono::steady_clock::now();
    }
    done_ = done;
    total_ = total;
    if (tty_ || !hasPending_ || total <= 0) return;
    const std::int64_t tenth = done * 10 / total;
    if (tenth > tenthShown_ || done == total) {
      tenthShown_ = tenth;
      Put(pending_ + "\n");
      hasPending_ = false;
    }
  }

  void Finish() {
    Settle();
    if (open_) Put("\n");
    open_ = false;
  }

  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::string Shown(std::string_view gbk) const {
    std::string s = ToLfBreaks(gbk);
    return gbk_ ? s : GbkToUtf8(s);
  }
  // Lines name files: their control characters are shown, never obeyed.
  std::string Escaped(const std::string& text) const {
    return EscapeForTerminal(text, {.keepNewlines = true, .gbk = gbk_});
  }
  void Add(const std::string& utf8, const std::string& shown) {
    const std::string text = Escaped(shown);
    Settle();
    lastStart_ = lines_.size();
    AddLines(utf8);
    if (tty_) {
      // The last line stays open, to be rewritten by a progress update.
      Put(open_ ? "\n" + text : text);
      open_ = true;
    } else {
      Put(text + "\n");
    }
  }
  void AddLines(const std::string& utf8) { AddLogLines(lines_, utf8); }
  // The last progress text is final once another line follows.
  void Settle() {
    if (!hasPending_) return;
    if (tty_) {
      Put("\r\x1b[K" + pending_);
    } else {
      Put(pending_ + "\n");
    }
    hasPending_ = false;
  }
  void ShowInPlace() {
    std::string line = "\r\x1b[K" + pending_;
    const std::int64_t sent = std::max<std::int64_t>(0, done_ - kUnsentBlocks);
    const std::int64_t toSend = std::max<std::int64_t>(0, total_ - kUnsentBlocks);
    if (started_ && toSend > 0) {
      const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - since_).count();
      const ProgressFigures f = FigureProgress(sent, toSend, secs);
      line += "  blocks " + f.blocks + "  " + std::to_string(f.percent) + "%";
      if (!f.rate.empty()) line += "  " + f.rate + "  " + f.left + " left";
    }
    Put(line);
  }
  void Put(const std::string& s) {
    if (quiet_) return;
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
  }

  bool gbk_, quiet_, tty_;
  bool open_ = false;
  bool hasPending_ = false;
  std::string pending_;
  std::vector<std::string> lines_;
  std::size_t lastStart_ = 0;
  ProgressThrottle throttle_;
  bool started_ = false;
  std::chrono::steady_clock::time_point since_{};
  std::int64_t done_ = 0, total_ = 0, tenthShown_ = 0;
};

class CliHost : public DownloadHost {
 public:
  CliHost(ParamSet& ps, Printer& out, std::unique_ptr<IniFile> config)
      : ps_(ps), out_(out), config_(std::move(config)) {}

  void AskSaveSettings() override {}  // nothing to save: the file is only read
  void ReportSerialNotSet() override {}  // refused before the run
  void AppendLine(std::string_view gbk) override { out_.Append(gbk); }
  void ReplaceLastLine(std::string_view gbk) override { out_.ReplaceLast(gbk); }
  void ProcessEvents() override { QCoreApplication::processEvents(); }

  bool UseCom() const override { return ps_.UseCom; }
  int ComIndex() const override { return comIndex; }
  std::string ComText() const override { return comText; }
  std::string ComDevice(const std::string& name) const override {
    if (!name.empty() && name[0] == '/') return name;
    return ResolveSerialDevice(name, config_.get());
  }
  std::string DeviceIp() const override { return ps_.DeviceIp; }
  ParamBlock& Block() override { return ps_.Block; }
  bool DownProg() const override { return downProg; }
  std::string FirmwarePath() const override { return firmwarePath; }
  int SpeedIndex() const override { return speedIndex; }
  void FirmwareProgress(std::int64_t d, std::int64_t t) override {
    done = d;
    total = t;
    out_.Progress(d, t);
  }

  int comIndex = 0;
  std::string comText;
  bool downProg = false;
  std::string firmwarePath;
  int speedIndex = 0;
  std::int64_t done = 0, total = 0;

 private:
  ParamSet& ps_;
  Printer& out_;
  std::unique_ptr<IniFile> config_;
};

std::optional<int> ToInt(const std::string& text, int lo, int hi) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return {};
  const int v = std::stoi(text);
  if (v < lo || v > hi) return {};
  return v;
}

std::optional<int> ParseOptions(std::span<const std::string> args, Options& o) {
  std::vector<std::string> pos;
  bool options = true;
  std::optional<std::string> speed, retries, timeout;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::optional<std::string>& into) -> std::optional<int> {
      if (i + 1 >= args.size()) return UsageError(kDownloadCommand, a + " needs a value");
      if (into) return UsageError(kDownloadCommand, a + " given twice");
      into = args[++i];
      return std::nullopt;
    };
    std::optional<int> code;
    if (!options || a.empty() || a[0] != '-' || a == "-") {
      pos.push_back(a);
    } else if (a == "--") {
      options = false;
    } else if (a == "--help" || a == "-h") {
      PrintHelp(kDownloadCommand);
      return kExitOk;
    } else if (a == "--ip") {
      code = value(o.ip);
    } else if (a == "--com") {
      code = value(o.com);
    } else if (a == "--firmware") {
      code = value(o.firmware);
    } else if (a == "--speed") {
      code = value(speed);
    } else if (a == "--retries") {
      code = value(retries);
    } else if (a == "--timeout") {
      code = value(timeout);
    } else if (a == "--no-firmware") {
      o.noFirmware = true;
    } else if (a == "--gbk") {
      o.gbk = true;
    } else if (a == "--json") {
      o.json = true;
    } else {
      return UsageError(kDownloadCommand, "unknown option " + a);
    }
    if (code) return code;
  }
  if (pos.size() != 1) return UsageError(kDownloadCommand, pos.empty() ? "missing FILE" : "too many arguments");
  o.file = pos[0];
  if (o.ip && o.com) return UsageError(kDownloadCommand, "--ip and --com exclude each other");
  if (o.firmware && o.noFirmware) return UsageError(kDownloadCommand, "--firmware and --no-firmware exclude each other");
  if (o.ip && o.ip->empty()) return UsageError(kDownloadCommand, "--ip needs an address");
  if (o.firmware && o.firmware->empty()) return UsageError(kDownloadCommand, "--firmware needs a path");
  if (o.com && (*o.com).empty()) return UsageError(kDownloadCommand, "--com needs a port name");
  if (o.com && (*o.com)[0] != '/' && ComNumber(*o.com) == 0 && *o.com != "NONE") {
    return UsageError(kDownloadCommand, "--com takes a list name such as COM1 or a device path starting with /");
  }
  if (speed) {
    const auto bps = ToInt(*speed, 1, 1000000);
    int index = -1;
    for (int k = 0; bps && k < 5; ++k) {
      if (kSpeeds[k] == *bps) index = k;
    }
    if (index < 0) return UsageError(kDownloadCommand, "--speed is one of 9600, 19200, 38400, 57600, 115200");
    o.speedIndex = index;
  }
  if (retries) {
    const auto v = ToInt(*retries, 0, kMaxRetries);
    if (!v) return UsageError(kDownloadCommand, "--retries is a number from 0 to 10");
    o.retries = *v;
  }
  if (timeout) {
    const auto v = ToInt(*timeout, 1, kMaxTimeoutMs);
    if (!v) return UsageError(kDownloadCommand, "--timeout is a number of milliseconds from 1 to 60000");
    o.timeoutMs = *v;
  }
  return std::nullopt;
}

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

std::string FirmwareOutcome(FirmwareResult r) {
  switch (r) {
    case FirmwareResult::NoFile: return "no_file";
    case FirmwareResult::CannotRead: return "cannot_read";
    case FirmwareResult::EntryFailed: return "entry_failed";
    case FirmwareResult::StartFailed: return "start_failed";
    case FirmwareResult::BlockFailed: return "block_failed";
    case FirmwareResult::FinishFailed: return "finish_failed";
    case FirmwareResult::Aborted: return "interrupted";
    case FirmwareResult::Completed: return "completed";
  }
  return "failed";
}

std::string FirmwareFailure(FirmwareResult r, const std::string& path) {
  switch (r) {
    case FirmwareResult::NoFile: return "firmware file not found: " + path;
    case FirmwareResult::CannotRead: return "the firmware file cannot be read: " + path;
    case FirmwareResult::EntryFailed: return "the scale did not enter its upgrade mode";
    case FirmwareResult::StartFailed: return "the scale refused to start the upgrade";
    case FirmwareResult::BlockFailed: return "the scale did not acknowledge a firmware block";
    case FirmwareResult::FinishFailed: return "the scale did not acknowledge the end of the upgrade";
    case FirmwareResult::Aborted: return "interrupted";
    case FirmwareResult::Completed: break;
  }
  return {};
}

// The exit code, step outcomes and reason of a finished run.
void Judge(const DownloadResult& r, bool interrupted, const std::string& where, TargetResult& t) {
  t.firmwareAsked = r.firmwareAsked;
  t.upgradeStarted = r.firmwareAsked && r.firmware != FirmwareResult::NoFile &&
                     r.firmware != FirmwareResult::CannotRead;
  t.connect = r.connected ? "ok" : "failed";
  if (r.connected) t.block = r.blockAcked ? "acknowledged" : "not_acknowledged";
  // The upgrade follows the block even when the block was not acknowledged.
  if (r.connected) t.firmware = r.firmwareAsked ? FirmwareOutcome(r.firmware) : "not_asked";
  if (r.aborted || interrupted) {
    if (!r.connected) {
      t.connect = "interrupted";
    } else if (!r.blockAcked && !r.firmwareAsked) {
      t.block = "interrupted";
    } else if (r.firmwareAsked) {
      t.firmware = "interrupted";
    }
    t.exitCode = kExitInterrupted;
    t.error = t.upgradeStarted ? "interrupted; the scale may be left in the middle of a firmware upgrade"
                               : "interrupted";
    return;
  }
  if (!r.connected) {
    t.exitCode = kExitUnreachable;
    t.error = "no connection to the scale at " + where;
    if (!r.openError.empty()) t.error += " (" + r.openError + ")";
    return;
  }
  if (!r.blockAcked) {
    t.exitCode = kExitBlockRefused;
    t.error = "the scale did not acknowledge the parameter block";
    return;
  }
  if (r.firmwareAsked && r.firmware != FirmwareResult::Completed) {
    t.exitCode = kExitFirmwareFailed;
    t.error = FirmwareFailure(r.firmware, t.firmwarePath);
    return;
  }
  t.exitCode = kExitOk;
}

// A record outlives the working directory it was made in.
std::string WholePath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path whole = std::filesystem::absolute(path, ec);
  return ec ? path : whole.lexically_normal().string();
}

// One download to the scale the options (or FILE) name. Needs the
// QCoreApplication; prints the log unless --json.
TargetResult RunTarget(const Options& o, int udpPort) {
  TargetResult t;
  const std::string startUtc = UtcNowIso();
  t.started = WholeSeconds(startUtc);
  const auto began = std::chrono::steady_clock::now();
  auto done = [&]() -> TargetResult {
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    return std::move(t);
  };
  auto refuse = [&](std::string why) {
    t.exitCode = kExitInputRefused;
    t.error = std::move(why);
    return done();
  };

  if (std::string why = CheckParamFile(o.file); !why.empty()) return refuse(why);
  ParamSet ps;
  {
    const IniFile file(o.file);
    LoadParamSet(file, ps);
    SetUpLanguage(file);
  }
  std::unique_ptr<IniFile> config;
  const std::string configPath = FilesDir() + std::string(kToolConfigName);
  if (::access(configPath.c_str(), R_OK) == 0) config = std::make_unique<IniFile>(configPath);

  Printer out(o.gbk, o.json);
  CliHost host(ps, out, std::move(config));
  host.comIndex = ps.ComIndex;
  host.comText = ComListText(ps.ComIndex);
  if (o.ip) {
    ps.UseCom = false;
    ps.DeviceIp = *o.ip;
  } else if (o.com) {
    ps.UseCom = true;
    host.comText = *o.com;
    host.comIndex = *o.com == "NONE" ? 0 : 1;
  }
  host.downProg = o.firmware ? true : (o.noFirmware ? false : ps.DownProg);
  host.firmwarePath = o.firmware ? *o.firmware : GbkToUtf8(ps.BinFilePath);
  host.speedIndex = o.speedIndex;
  t.transport = ps.UseCom ? "serial" : "udp";
  t.target = ps.UseCom ? GbkToUtf8(host.comText) : ps.DeviceIp;
  if (host.downProg) t.firmwarePath = host.firmwarePath;

  const std::string comDevice = ps.UseCom ? host.ComDevice(host.comText) : std::string();

  FirmwareImageInfo image;
  if (std::string why = PreflightDownload(host, &image); !why.empty()) {
    if (ps.UseCom && host.ComIndex() == 0) {
      // The window's words first, in the chosen encoding.
      why = (o.gbk ? std::string(kMsgPortNotSet) : GbkToUtf8(kMsgPortNotSet)) + " (" + why + ")";
    }
    return refuse(why);
  }
  // Taken before the run, so that the record names the bytes sent even if the file changes meanwhile.
  std::optional<FileDigest> digest;
  if (host.downProg) {
    t.firmwareSize = image.size;
    t.blocksTotal = std::max<std::int64_t>(0, image.blocks - kUnsentBlocks);
    digest = DigestFile(host.firmwarePath);
    if (digest) t.firmwareSha256 = digest->sha256;
  }

  ps.Block[0] = kBlockMarker;  // as the download sends it
  const ParamBlock sent = ps.Block;
  const std::string blockSha = Sha256Hex(sent.data(), sent.size());

  CreateScaleComm();
  ScaleComm->SetRetryCount(static_cast<std::uint8_t>(o.retries));
  ScaleComm->SetRetryInterval(o.timeoutMs);
  OverrideLinkUdpPort(udpPort);
  // A signal ends the run between two waits and releases the port.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [] {
    if (g_interrupted) AbortDownload();
  });
  watch.start(100);

  DownloadResult r;
  std::string error;
  if (!g_interrupted) {
    try {
      r = RunDownload(host);
    } catch (const std::exception& e) {
      error = e.what();
    }
  }
  // A signal that came before or after the engine noticed still ends the run as interrupted.
  const bool interrupted = g_interrupted != 0;
  watch.stop();
  out.Finish();
  DestroyScaleComm();
  LangShutdown();

  t.blocksSent = std::max<std::int64_t>(0, host.done - kUnsentBlocks);
  if (r.connected) t.blockSha256 = blockSha;
  Judge(r, interrupted, t.target, t);
  if (!error.empty()) {
    t.exitCode = kExitError;
    t.error = error;
  }

  DownloadContext c;
  c.startUtc = startUtc;
  c.program = "facset-cli";
  c.version = std::string(ProjectVersion());
  c.useCom = ps.UseCom;
  c.target = TargetText(ps.UseCom, ps.DeviceIp, GbkToUtf8(host.comText), comDevice);
  c.paramFile = WholePath(o.file);
  c.block = sent;
  c.firmwareWanted = host.downProg;
  c.firmwarePath = host.firmwarePath.empty() ? std::string() : WholePath(host.firmwarePath);
  c.firmwareDigest = digest;
  c.blocksSent = t.blocksSent;
  c.error = error;
  c.exitCode = t.exitCode;
  c.log = out.lines();
  DownloadResult judged = r;
  judged.aborted = r.aborted || interrupted;
  // Never stops or fails the download: the log says so and the exit code stays.
  if (const AppendResult a = AppendRecord(DefaultRecordsFolder(), MakeDownloadRecord(judged, c)); !a) {
    out.AppendUtf8(RecordNotKeptLine(*a.error));
    out.Finish();
  }
  t.lines = out.lines();
  return done();
}

std::string JsonOf(const TargetResult& t) {
  JsonObject steps;
  steps.Raw("connect", JsonObject().Str("outcome", t.connect).Text());
  steps.Raw("block", JsonObject().Str("outcome", t.block).Text());
  steps.Raw("firmware", JsonObject().Str("outcome", t.firmware).Text());
  std::string lines = "[";
  for (std::size_t i = 0; i < t.lines.size(); ++i) lines += (i ? "," : "") + JsonString(t.lines[i]);
  lines += "]";
  JsonObject j;
  j.Bool("ok", t.exitCode == kExitOk).Int("exit_code", t.exitCode);
  if (t.error.empty()) {
    j.Null("error");
  } else {
    j.Str("error", t.error);
  }
  // Unknown when FILE was refused before its link settings were read.
  if (t.transport.empty()) {
    j.Null("target").Null("transport");
  } else {
    j.Str("target", t.target).Str("transport", t.transport);
  }
  j.Str("started", t.started);
  char secs[32];
  std::snprintf(secs, sizeof secs, "%.3f", t.seconds);
  j.Raw("seconds", secs);
  if (t.blockSha256.empty()) {
    j.Null("block_sha256");
  } else {
    j.Str("block_sha256", t.blockSha256);
  }
  j.Raw("steps", steps.Text());
  if (t.firmwarePath.empty()) {
    j.Null("firmware");
  } else {
    JsonObject fw;
    fw.Str("path", t.firmwarePath).Int("size", t.firmwareSize);
    if (t.firmwareSha256.empty()) {
      fw.Null("sha256");
    } else {
      fw.Str("sha256", t.firmwareSha256);
    }
    fw.Int("blocks_sent", t.blocksSent).Int("blocks_total", t.blocksTotal);
    j.Raw("firmware", fw.Text());
  }
  j.Raw("lines", lines);
  return j.Text() + "\n";
}

int RunDownloadCommand(std::span<const std::string> given) {
  std::vector<std::string> single;
  if (auto code = RunDownloadTargets(kDownloadCommand, given, single)) return *code;
  const std::span<const std::string> args = single;
  Options o;
  if (auto code = ParseOptions(args, o)) return *code;
  const UdpPortSetting udp = ReadScaleUdpPortEnv();
  TargetResult t;
  if (!udp.error.empty()) {
    t.started = WholeSeconds(UtcNowIso());
    t.exitCode = kExitInputRefused;
    t.error = udp.error;
  } else {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    int argc = 1;
    char name[] = "facset-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    try {
      t = RunTarget(o, udp.port);
    } catch (const std::exception& e) {
      t.exitCode = kExitError;
      t.error = e.what();
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }

  if (!t.error.empty()) std::fprintf(stderr, "facset-cli: %s\n", EscapeForTerminal(t.error).c_str());
  if (o.json) {
    const std::string doc = JsonOf(t);
    std::fwrite(doc.data(), 1, doc.size(), stdout);
    std::fflush(stdout);
  }
  return t.exitCode;
}

}  // namespace

const Command kDownloadCommand{
    "download",
"download FILE [OPTIONS]",
    "send a parameter file (and firmware) to a scale",
    "Sends the parameter block of FILE to the scale, as the window's download\n"
    "button does, and then the firmware image when FILE asks for it. FILE is only\n"
    "read. Nothing is sent before FILE, the image and the link are checked. Its\n"
    "link settings apply unless an option overrides them:\n"
    "  --ip ADDR        over UDP to ADDR, a dotted IPv4 address (port 5001)\n"
    "  --com NAME       over a serial port: a list name such as COM1 (resolved as\n"
    "                   in the window: section \"serial\" of facconfig.ini in\n"
    "                   the tool's folder, e.g. COM1=/dev/ttyUSB0, else COMn is\n"
    "                   /dev/ttyS(n-1)) or a device path starting with /\n"
    "  --targets FILE   more targets, one a line (several scales: see below)\n"
    "  --firmware PATH  also upgrade the firmware with the image PATH\n"
    "  --no-firmware    no firmware upgrade, whatever FILE says\n"
    "  --speed BPS      serial speed after the log-on: 9600 (default), 19200,\n"
    "                   38400, 57600 or 115200\n"
    "  --retries N      repeats of an unanswered request, 0 to 10 (default 6)\n"
    "  --timeout MS     wait for each answer, 1 to 60000 ms (default 800)\n"
    "  --json           print one JSON document at the end instead of the log\n"
    "  --gbk            print the messages as GBK bytes instead of UTF-8\n"
    "The messages are those of the window's log, in the language FILE names\n"
    "(\"Set\"/\"lngstr\", \"_cn\" when none), from the language file in the tool's\n"
    "folder (facset-cli where), or built in when that file cannot be read or\n"
    "written.\n"
    "Environment: FACSET_SCALE_UDP_PORT=PORT sends to that UDP port instead of\n"
    "5001 (for a simulated scale).\n"
    "Exit status:\n"
    "  0    done: the block was acknowledged (and the upgrade completed)\n"
    "  1    other error\n"
    "  2    bad usage\n"
    "  3    the scale could not be reached or refused the log-on\n"
    "  4    the parameter block was not acknowledged\n"
    "  5    the firmware upgrade failed\n"
    "  6    input refused before connecting (nothing was sent)\n"
    "  130  interrupted (SIGINT, SIGTERM)\n",
    RunDownloadCommand};

}  // namespace facset::cli

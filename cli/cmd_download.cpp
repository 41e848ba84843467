#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli.h"
#include "download/download.h"
#include "download/serial_names.h"
#include "lang/lang.h"
#include "params/param_model.h"
#include "platform/paths.h"
#include "platform/text_encoding.h"
#include "protocol/scale_link.h"

namespace facset::cli {
namespace {

constexpr const char* kUdpPortEnv = "FACSET_SCALE_UDP_PORT";

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

struct Options {
  std::string file;
  std::optional<std::string> ip;
  std::optional<std::string> com;
  std::optional<std::string> firmware;
  bool noFirmware = false;
  bool gbk = false;
};

// Prints the log lines. On a terminal the progress line is rewritten in
// place; elsewhere each line is held until it is final, so that a pipe gets
// exactly the lines the window's log ends with.
class Printer {
 public:
  explicit Printer(bool gbk) : gbk_(gbk), tty_(::isatty(STDOUT_FILENO) == 1) {}
  ~Printer() { Finish(); }

  void Append(std::string_view gbk) {
    if (tty_) {
      ShowPending();
      if (open_) Put("\n");
      Put(Text(gbk));
      open_ = true;
    } else {
      FlushPending();
      pending_ = Text(gbk);
      open_ = true;
    }
  }
  void ReplaceLast(std::string_view gbk) {
    if (!open_) return Append(gbk);
    pending_ = Text(gbk);
    if (tty_) {
      // A terminal shows a few updates a second; the last one always lands.
      hasPending_ = true;
      if (std::chrono::steady_clock::now() - shown_ >= std::chrono::milliseconds(50)) ShowPending();
    }
  }
  void Finish() {
    if (!open_) return;
    if (tty_) {
      ShowPending();
    } else {
      Put(pending_);
    }
    Put("\n");
    pending_.clear();
    open_ = false;
    std::fflush(stdout);
  }

 private:
  // CR LF inside a message starts a new line.
  std::string Text(std::string_view gbk) const {
    std::string s;
    for (std::size_t i = 0; i < gbk.size(); ++i) {
      if (gbk[i] == '\r') {
        s.push_back('\n');
        if (i + 1 < gbk.size() && gbk[i + 1] == '\n') ++i;
      } else {
        s.push_back(gbk[i]);
      }
    }
    return gbk_ ? s : GbkToUtf8(s);
  }
  void FlushPending() {
    if (!open_) return;
    Put(pending_);
    Put("\n");
    pending_.clear();
    open_ = false;
  }
  void ShowPending() {
    if (!hasPending_) return;
    hasPending_ = false;
    Put("\r\x1b[K");
    Put(pending_);
    shown_ = std::chrono::steady_clock::now();
  }
  void Put(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stdout);
    if (tty_) std::fflush(stdout);
  }

  bool gbk_;
  bool tty_;
  bool open_ = false;
  bool hasPending_ = false;  // terminal: a progress text not shown yet
  std::string pending_;
  std::chrono::steady_clock::time_point shown_{};
};

class CliHost : public DownloadHost {
 public:
  CliHost(ParamSet& ps, Printer& out, std::unique_ptr<IniFile> config)
      : ps_(ps), out_(out), config_(std::move(config)) {}

  void AskSaveSettings() override {}  // nothing to save: the file is only read
  void ReportSerialNotSet() override {
    std::fprintf(stderr, "facset-cli: %s (no serial port chosen)\n", Msg(kMsgPortNotSet).c_str());
  }
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

  std::string Msg(std::string_view gbk) const { return gbk_ ? std::string(gbk) : GbkToUtf8(gbk); }

  int comIndex = 0;
  std::string comText;
  bool downProg = false;
  std::string firmwarePath;
  bool gbk_ = false;

 private:
  ParamSet& ps_;
  Printer& out_;
  std::unique_ptr<IniFile> config_;
};

std::optional<int> ParseOptions(std::span<const std::string> args, Options& o) {
  std::vector<std::string> pos;
  bool options = true;
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
    } else if (a == "--no-firmware") {
      o.noFirmware = true;
    } else if (a == "--gbk") {
      o.gbk = true;
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
  return std::nullopt;
}

// The language that FILE names, from the language file beside the program,
// completed as the window completes it. FILE itself is never written.
void SetUpLanguage(const IniFile& file) {
  LangSuffix = file.ReadString("Set", "lngstr", "_cn");
  LangFilePath = LangFileName(LangSuffix);
  LangFile = std::make_unique<IniFile>(LangFilePath);
  try {
    FillLangCatalog(*LangFile, UseChineseCatalog(LangSuffix));
  } catch (const std::exception& e) {
    // A read-only program folder still lets the download run.
    std::fprintf(stderr, "facset-cli: warning: %s\n", e.what());
  }
}

std::string FirmwareFailure(FirmwareResult r, const std::string& path) {
  switch (r) {
    case FirmwareResult::NoFile:
      return path.empty() ? "no firmware file named" : "firmware file not found: " + path;
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

int RunDownloadCommand(std::span<const std::string> args) {
  Options o;
  if (auto code = ParseOptions(args, o)) return *code;
  if (std::string why = CheckReadableFile(o.file); !why.empty()) return Fail(why);

  int udpPort = 0;
  if (const char* env = std::getenv(kUdpPortEnv); env && *env) {
    char* end = nullptr;
    const long v = std::strtol(env, &end, 10);
    if (*end != '\0' || v < 1 || v > 65535) return Fail(std::string(kUdpPortEnv) + " is not a port number: " + env);
    udpPort = static_cast<int>(v);
  }

  ParamSet ps;
  std::unique_ptr<IniFile> config;
  {
    const IniFile file(o.file);
    LoadParamSet(file, ps);
    SetUpLanguage(file);
  }
  const std::string configPath = ExecutableDir() + std::string(kToolConfigName);
  if (::access(configPath.c_str(), R_OK) == 0) config = std::make_unique<IniFile>(configPath);

  Printer out(o.gbk);
  CliHost host(ps, out, std::move(config));
  host.gbk_ = o.gbk;
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

  int argc = 1;
  char name[] = "facset-cli";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  CreateScaleComm();
  if (udpPort) OverrideLinkUdpPort(udpPort);
  // Ctrl-C ends the run between two waits and releases the port.
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [] {
    if (g_interrupted) AbortDownload();
  });
  watch.start(100);

  DownloadResult r;
  std::string error;
  try {
    r = RunDownload(host);
  } catch (const std::exception& e) {
    error = e.what();
  }
  watch.stop();
  out.Finish();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  DestroyScaleComm();
  LangShutdown();

  if (!error.empty()) return Fail(error);
  if (r.aborted || g_interrupted) return Fail("interrupted");
  if (r.portNotSet) return Fail("no serial port chosen");
  if (!r.connected) {
    std::string why = "no connection to the scale at " + (ps.UseCom ? GbkToUtf8(host.comText) : ps.DeviceIp);
    if (!r.openError.empty()) why += " (" + r.openError + ")";
    return Fail(why);
  }
  if (!r.blockAcked) return Fail("the scale did not acknowledge the parameter block");
  if (r.firmwareAsked && r.firmware != FirmwareResult::Completed) {
    return Fail(FirmwareFailure(r.firmware, host.firmwarePath));
  }
  return kExitOk;
}

}  // namespace

const Command kDownloadCommand{
    "download", "download FILE [--ip ADDR | --com NAME] [--firmware PATH | --no-firmware]",
    "download a parameter file (and firmware) to a scale",
    "Sends the parameter block of FILE to the scale, as the window's download\n"
    "button does, and then the firmware image when FILE asks for it. FILE is only\n"
    "read. Its link settings apply unless an option overrides them:\n"
    "  --ip ADDR        over UDP to ADDR (port 5001)\n"
    "  --com NAME       over a serial port: a list name such as COM1 (resolved as\n"
    "                   in the window: section \"serial\" of facconfig.ini beside\n"
    "                   this program, e.g. COM1=/dev/ttyUSB0, else COMn is\n"
    "                   /dev/ttyS(n-1)) or a device path starting with /\n"
    "  --firmware PATH  also upgrade the firmware with the image PATH\n"
    "  --no-firmware    no firmware upgrade, whatever FILE says\n"
    "  --gbk            print the messages as GBK bytes instead of UTF-8\n"
    "The messages are those of the window's log, in the language FILE names\n"
    "(\"Set\"/\"lngstr\", \"_cn\" when none), from the language file beside this\n"
    "program. Environment: FACSET_SCALE_UDP_PORT=PORT sends to that UDP port\n"
    "instead of 5001 (for a simulated scale).\n"
    "Exit status: 0 when the link opened, the block was acknowledged and the\n"
    "firmware upgrade (when asked for) completed; 1 otherwise, the reason on\n"
    "stderr; 2 on bad usage.\n",
    RunDownloadCommand};

}  // namespace facset::cli

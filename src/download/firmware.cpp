#include "download/firmware.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>

#include "download/download_messages.h"
#include "lang/catalog_format.h"
#include "lang/lang.h"
#include "params/param_math.h"
#include "platform/text_encoding.h"
#include "protocol/pbus.h"
#include "protocol/pbus_commands.h"

namespace facset {

namespace {
constexpr std::uint16_t kVerificationWord = pbus::kVerificationWord;

std::string CannotReadLine(const std::string& path, const std::string& why) {
  return "Cannot read the firmware file " + Utf8ToGbk(path) + ": " + Utf8ToGbk(why);
}

// The local date and time of the report line: "2025-12-10 01:09:00".
std::string ReportTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return buf;
}

// One upgrade: each request is asked through Ask, which keeps the way a
// failed one ended and notices a stop.
class Upgrade {
 public:
  enum class Answer { Ok, Failed, Stopped };

  Upgrade(const FirmwareRun& run, FirmwareEnd& out) : run_(run), out_(out) {}

  Answer Ask(bool ok) {
    const RequestOutcome& o = run_.engine.LastOutcome();
    if (o.end != RequestEnd::Busy) out_.requests.Add(o.index);
    if (Stopped()) return Answer::Stopped;
    const RequestReport r = ReportOf(o);
    if (ok && r.ok) return Answer::Ok;
    out_.end = r.end;
    fatal_ = r.Fatal();
    return Answer::Failed;
  }
  bool Stopped() const { return run_.aborted && run_.aborted(); }
  // The line went away or held the request: no further request may follow.
  bool Fatal() const { return fatal_; }
  FirmwareEnd& End(StepOutcome o) {
    out_.outcome = o;
    return out_;
  }
  FirmwareEnd& Line(StepOutcome o, std::string_view gbk) {
    run_.sink.AppendLine(gbk);
    return End(o);
  }

 private:
  const FirmwareRun& run_;
  FirmwareEnd& out_;
  bool fatal_ = false;
};

// Upgrade entry: the low four digits of the access code as packed BCD, least
// significant pair first; 0x10 asks for the upgrade mode.
std::array<std::uint8_t, 3> EntryPayload() {
  std::uint8_t code[4];
  IdToBcdLsbFirst(static_cast<std::uint32_t>(pbus::kAccessCode), code);
  return {code[0], code[1], pbus::kUpgradeEntryMode};
}

// Start; once refused, a new log-on and one more start.
Upgrade::Answer Start(TPBusComm& engine, DownloadSink& sink, Upgrade& u) {
  const Upgrade::Answer a = u.Ask(engine.StartUpgrade(pbus::kArgStartUpgrade));
  if (a != Upgrade::Answer::Failed) return a;
  sink.AppendLine(kMsgStartCommandError);
  if (u.Fatal()) return a;
  Upgrade::Answer again = u.Ask(engine.Connect(pbus::kAccessCode));
  if (again == Upgrade::Answer::Ok) again = u.Ask(engine.StartUpgrade(pbus::kArgStartUpgrade));
  if (again == Upgrade::Answer::Failed) sink.AppendLine(kMsgReconnectError);
  return again;
}

}  // namespace

FirmwareEnd UpgradeFirmware(const FirmwareRun& run, const ImageLoad& load) {
  FirmwareEnd out;
  Upgrade u(run, out);
  DownloadSink& sink = run.sink;
  TPBusComm& engine = run.engine;
  if (load.failure == StepOutcome::NoFile) return u.End(StepOutcome::NoFile);
  // An image that cannot be read leaves the scale as it was, and says so.
  if (!load.ok()) return u.Line(StepOutcome::CannotRead, CannotReadLine(load.image.path, load.why));
  const FirmwareImage& image = load.image;

  out.upgradeStarted = true;
  switch (u.Ask(engine.ReadBlock(pbus::kCmdSession, pbus::kArgUpgradeEntry, EntryPayload()))) {
    case Upgrade::Answer::Ok: break;
    case Upgrade::Answer::Stopped: return u.End(StepOutcome::Aborted);
    case Upgrade::Answer::Failed: return u.Line(StepOutcome::EntryFailed, LangCatalog("sConnectFail"));
  }
  switch (Start(engine, sink, u)) {
    case Upgrade::Answer::Ok: break;
    case Upgrade::Answer::Stopped: return u.End(StepOutcome::Aborted);
    case Upgrade::Answer::Failed: return u.End(StepOutcome::StartFailed);
  }
  sink.AppendLine(LangCatalog("sStartUpdating"));

  const std::int64_t n = image.blocks();
  // Looked up once: the text cannot change during the run.
  const std::string progressFormat = LangCatalog("sUpdate");
  // The payload of the next block; a short last block keeps, past the image's
  // end, what the block before it left there.
  std::array<std::uint8_t, pbus::kBlockSize> payload{};
  for (std::int64_t k = 0; k < n; ++k) {
    const std::string progress = FormatCatalog(progressFormat, {k + 1, n});
    if (k < 2) {
      sink.AppendLine(progress);
    } else {
      sink.ReplaceLastLine(progress);
    }
    if (k % 30 == 0) sink.ProcessEvents();
    if (u.Stopped()) return u.End(StepOutcome::Aborted);

    const auto from = static_cast<std::size_t>(k) * pbus::kBlockSize;
    const std::size_t len = std::min<std::size_t>(payload.size(), image.bytes.size() - from);
    std::memcpy(payload.data(), image.bytes.data() + from, len);
    if (k < pbus::kFirstImageBlock) {
      sink.FirmwareProgress(k + 1, n);
      continue;
    }
    if (k == n - 1) {
      payload[254] = static_cast<std::uint8_t>(kVerificationWord & 0xFF);
      payload[255] = static_cast<std::uint8_t>(kVerificationWord >> 8);
    }
    switch (u.Ask(engine.WriteBlock(pbus::kCmdUpgrade, static_cast<std::uint16_t>(k), payload))) {
      case Upgrade::Answer::Ok: break;
      case Upgrade::Answer::Stopped: return u.End(StepOutcome::Aborted);
      case Upgrade::Answer::Failed: return u.Line(StepOutcome::BlockFailed, LangCatalog("sCommunicationerror"));
    }
    ++out.blocksSent;
    sink.FirmwareProgress(k + 1, n);
  }

  sink.AppendLine(LangCatalog("sDisconnect"));
  switch (u.Ask(engine.FinishUpgrade(kVerificationWord))) {
    case Upgrade::Answer::Ok: break;
    case Upgrade::Answer::Stopped: return u.End(StepOutcome::Aborted);
    case Upgrade::Answer::Failed: return u.Line(StepOutcome::FinishFailed, LangCatalog("sDisconnectError"));
  }

  sink.AppendLine(LangCatalog("sUpdatecompleted"));
  sink.AppendLine("\r\n\r\n" + LangCatalog("sLastUpdatetime") + ReportTimeText());
  const std::uint8_t versionField[2] = {0, 0};
  const std::int64_t version = BcdToInt(versionField, 4);
  sink.AppendLine(FormatCatalog(LangCatalog("sProgVerAndCheckSum"), {version, kVerificationWord}));
  sink.AppendLine(kMsgReportRule);
  sink.AppendLine(kMsgReportRule);
  return u.End(StepOutcome::Completed);
}

}  // namespace facset

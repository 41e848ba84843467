#include "records/download_record.h"

#include <algorithm>

#include "params/param_math.h"

namespace facset {
namespace {

// Blocks below this number are counted in the progress but never sent.
constexpr std::int64_t kFirstSentBlock = 32;
constexpr std::uint8_t kBlockMarker = 0xA6;

}  // namespace

std::string TargetText(bool useCom, const std::string& address, const std::string& listName,
                       const std::string& device) {
  if (!useCom) return address;
  if (listName.empty() || listName == device) return device;
  if (device.empty()) return listName;
  return listName + " " + device;
}

void AddLogLines(std::vector<std::string>& log, const std::string& utf8) {
  std::size_t b = 0;
  for (;;) {
    const std::size_t e = utf8.find('\n', b);
    log.push_back(utf8.substr(b, e == std::string::npos ? std::string::npos : e - b));
    if (e == std::string::npos) break;
    b = e + 1;
  }
}

std::string_view FirmwareResultName(FirmwareResult r) {
  switch (r) {
    case FirmwareResult::NoFile: return "no file";
    case FirmwareResult::CannotRead: return "cannot read";
    case FirmwareResult::EntryFailed: return "entry failed";
    case FirmwareResult::StartFailed: return "start failed";
    case FirmwareResult::BlockFailed: return "block failed";
    case FirmwareResult::FinishFailed: return "finish failed";
    case FirmwareResult::Completed: return "completed";
    case FirmwareResult::Aborted: return outcome::kAborted;
  }
  return outcome::kUnknown;
}

DownloadRecord MakeDownloadRecord(const DownloadResult& r, const DownloadContext& c) {
  DownloadRecord rec;
  rec.startUtc = c.startUtc;
  rec.endUtc = UtcNowIso();
  rec.station = StationName();
  rec.operatorName = OperatorName();
  rec.program = c.program;
  rec.version = c.version;
  rec.transport = c.useCom ? "serial" : "udp";
  rec.target = c.target;
  rec.paramFile = c.paramFile;
  ParamBlock block = c.block;
  block[0] = kBlockMarker;
  rec.block = block;
  rec.blockSha256 = Sha256Hex(block.data(), block.size());
  rec.exitCode = c.exitCode;
  rec.error = c.error;
  rec.log = c.log;

  // An exception leaves the result as it was before the run: its steps are then unknown.
  const bool noResult = !r.started && !c.error.empty();
  if (noResult) {
    rec.connectOutcome = outcome::kUnknown;
  } else if (r.connected) {
    rec.connectOutcome = outcome::kOk;
  } else if (r.aborted) {
    rec.connectOutcome = outcome::kAborted;
  } else if (r.started && !r.portNotSet) {
    rec.connectOutcome = outcome::kFailed;
  }  // else not run: another run was active, or no port was chosen

  if (noResult) {
    rec.blockOutcome = outcome::kUnknown;
  } else if (r.blockAcked) {
    rec.blockOutcome = outcome::kOk;
  } else if (r.connected) {
    rec.blockOutcome = r.aborted && !r.firmwareAsked ? outcome::kAborted : outcome::kFailed;
  }

  if (!c.firmwareWanted) {
    rec.firmwareOutcome = outcome::kNotAsked;
  } else if (noResult) {
    rec.firmwareOutcome = outcome::kUnknown;
  } else if (r.firmwareAsked) {
    rec.firmwareOutcome = FirmwareResultName(r.firmware);
  } else {
    rec.firmwareOutcome = outcome::kNotRun;
  }

  if (c.firmwareWanted) {
    rec.firmwarePath = c.firmwarePath;
    std::optional<FileDigest> d = c.firmwareDigest;
    if (!d && !c.firmwarePath.empty()) d = DigestFile(c.firmwarePath);
    if (d) {
      rec.firmwareSize = d->size;
      rec.firmwareSha256 = d->sha256;
      rec.blocksToSend = std::max<std::int64_t>(0, CeilDiv(d->size, 256) - kFirstSentBlock);
    }
    if (!noResult) {
      if (!r.firmwareAsked) {
        rec.blocksSent = 0;
      } else {
        switch (r.firmware) {
          case FirmwareResult::NoFile:
          case FirmwareResult::CannotRead:
          case FirmwareResult::EntryFailed:
          case FirmwareResult::StartFailed: rec.blocksSent = 0; break;
          case FirmwareResult::Completed:
          case FirmwareResult::FinishFailed: rec.blocksSent = rec.blocksToSend; break;
          case FirmwareResult::BlockFailed:
          case FirmwareResult::Aborted: rec.blocksSent = c.blocksSent; break;
        }
      }
    } else {
      rec.blocksSent = c.blocksSent;
    }
  }

  const bool firmwareOk = !c.firmwareWanted || (r.firmwareAsked && r.firmware == FirmwareResult::Completed);
  if (r.aborted) {
    rec.outcome = outcome::kAborted;
  } else if (r.started && r.connected && r.blockAcked && firmwareOk && c.error.empty() &&
             c.exitCode.value_or(0) == 0) {
    rec.outcome = outcome::kOk;
  } else {
    rec.outcome = outcome::kFailed;
  }
  return rec;
}

}  // namespace facset

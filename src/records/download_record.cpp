#include "records/download_record.h"

#include <filesystem>

#include "download/sha256.h"
#include "params/param_model.h"

namespace facset {

void AddLogLines(std::vector<std::string>& log, const std::string& utf8) {
  std::size_t b = 0;
  for (;;) {
    const std::size_t e = utf8.find('\n', b);
    log.push_back(utf8.substr(b, e == std::string::npos ? std::string::npos : e - b));
    if (e == std::string::npos) break;
    b = e + 1;
  }
}

std::string WholePath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  const std::filesystem::path whole = std::filesystem::absolute(path, ec);
  return ec ? path : whole.lexically_normal().string();
}

DownloadRecord MakeDownloadRecord(const DownloadRequest& request, const DownloadOutcome& o, const RecordContext& c) {
  DownloadRecord rec;
  rec.uid = NewRecordUid();
  rec.startUtc = c.startUtc;
  rec.endUtc = UtcNowIso();
  rec.station = StationName();
  rec.operatorName = OperatorName();
  rec.program = c.program;
  rec.version = c.version;
  rec.transport = TransportName(request.target);
  rec.target = TargetRecordText(request.target);
  rec.paramFile = WholePath(c.paramFile);
  ParamBlock block = request.block;
  block[0] = kBlockMarker;
  rec.block = block;
  rec.blockSha256 = Sha256Hex(block.data(), block.size());
  rec.log = c.log;
  rec.valuesSet = request.valuesSet;

  const Verdict& v = o.verdict;
  rec.connectOutcome = v.connect;
  rec.blockOutcome = v.block;
  rec.firmwareOutcome = v.firmware;
  rec.outcome = v.outcome;
  rec.error = v.reason;
  if (c.withExitCode) rec.exitCode = v.exitCode;

  if (request.firmware) {
    rec.firmwarePath = WholePath(*request.firmware);
    rec.blocksSent = 0;
    if (o.firmware) {
      rec.firmwareSize = o.firmware->size;
      if (o.firmware->size) {
        rec.firmwareSha256 = o.firmware->sha256;
        rec.blocksToSend = o.firmware->blocksToSend;
      }
      rec.blocksSent = o.firmware->blocksSent;
    }
  }
  return rec;
}

}  // namespace facset

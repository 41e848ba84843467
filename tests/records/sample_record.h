#pragma once
// A record with every field filled, as a finished firmware run leaves it.

#include <string>

#include "download/sha256.h"
#include "records/records.h"

namespace facset::testing {

inline DownloadRecord SampleRecord(const std::string& start, const std::string& target, const std::string& outcome) {
  DownloadRecord r;
  r.uid = NewRecordUid();
  r.startUtc = start;
  r.endUtc = start;
  r.station = "line-3";
  r.operatorName = "wang";
  r.program = "facset-cli";
  r.version = "0.1";
  r.transport = "udp";
  r.target = target;
  r.paramFile = "/srv/params/标签秤.ini";
  ParamBlock b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(255 - i);
  b[0] = 0xA6;
  b[255] = static_cast<std::uint8_t>(start.size() > 15 ? start[15] : 0);  // a different block per minute
  r.block = b;
  r.blockSha256 = Sha256Hex(b.data(), b.size());
  r.firmwarePath = "/srv/fw/scale.hex";
  r.firmwareSize = 10240;
  r.firmwareSha256 = std::string(64, 'a');
  r.blocksSent = 3;
  r.blocksToSend = 8;
  r.connectOutcome = StepOutcome::Ok;
  r.blockOutcome = StepOutcome::Ok;
  r.firmwareOutcome = StepOutcome::BlockFailed;
  r.outcome = ParseRunOutcome(outcome).value();
  r.exitCode = 1;
  r.log = {" connect ..." + target, " connect ok ", "\r\n\r\nLast Update Time:2026-12-10 04:00:00", "更新完成"};
  return r;
}

}  // namespace facset::testing

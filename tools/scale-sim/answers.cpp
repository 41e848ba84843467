// What the simulated scale answers to each request, the faults it plays, what
// it stores and what it logs.

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "protocol/pbus_commands.h"
#include "sim.h"
#include "storage.h"

namespace facset::sim {

namespace {

std::string JsonEscape(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '"' || c == '\\') r += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    r += c;
  }
  return r;
}

bool IdOk(const std::uint8_t* payload) {
  std::uint8_t want[4];
  IdToBcdLsbFirst(static_cast<std::uint32_t>(pbus::kAccessCode), want);
  return std::equal(want, want + 4, payload);
}

}  // namespace

void Sim::Log(bool udp, const sockaddr_in* from, std::uint32_t speed, int cmd, int arg, const std::string& answer,
              const std::string& extra) {
  if (!log_) return;
  const auto now = std::chrono::system_clock::now();
  const std::time_t tt = std::chrono::system_clock::to_time_t(now);
  const int ms =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char ts[40];
  std::strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string line =
      std::string("{\"time\":\"") + ts + "." + (ms < 100 ? ms < 10 ? "00" : "0" : "") + std::to_string(ms) + "\"";
  line += udp ? ",\"transport\":\"udp\"" : ",\"transport\":\"serial\"";
  if (udp && from) {
    char a[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from->sin_addr, a, sizeof a);
    line += std::string(",\"from\":\"") + a + ":" + std::to_string(ntohs(from->sin_port)) + "\"";
  }
  if (!udp) line += ",\"speed\":" + std::to_string(speed);
  line += cmd < 0 ? std::string(",\"cmd\":null,\"arg\":null")
                  : ",\"cmd\":" + std::to_string(cmd) + ",\"arg\":" + std::to_string(arg);
  line += ",\"answer\":\"" + answer + "\"";
  if (!extra.empty()) line += ",\"note\":\"" + JsonEscape(extra) + "\"";
  line += "}\n";
  std::fputs(line.c_str(), log_);
  std::fflush(log_);
}

void Sim::StoreParams(const std::uint8_t* payload) {
  std::copy_n(payload, kPayloadSize, lastParams_.begin());
  if (!o_.paramOut.empty()) ReplaceWith(o_.paramOut, payload, kPayloadSize);
}

// The image file is made afresh by 15/0 (or by the first block without one)
// and then written through its own descriptor, never through its name.
void Sim::FirmwareStart() {
  if (o_.firmwareOut.empty()) return;
  if (fwFd_ >= 0) close(fwFd_);
  fwFd_ = CreateReplacing(o_.firmwareOut);
}

void Sim::FirmwareBlock(int k, const std::uint8_t* payload) {
  if (o_.firmwareOut.empty()) return;
  if (fwFd_ < 0) fwFd_ = CreateReplacing(o_.firmwareOut);
  if (fwFd_ >= 0)
    (void)!pwrite(fwFd_, payload, kPayloadSize, static_cast<off_t>(k) * static_cast<off_t>(pbus::kBlockSize));
}

void Sim::FirmwareFinish() {
  if (fwFd_ >= 0) close(fwFd_);
  fwFd_ = -1;
}

// What the scale makes of a request, before the faults shape its answer.
struct Reply {
  enum class Kind { Ack, Refuse, Data, Silent } kind = Kind::Refuse;
  std::string note;
  int switchTo = -1;  // serial: the speed index a log-on asks for
  Buffer answer{};    // a data answer's packet
  void AddNote(const std::string& more) { note += (note.empty() ? "" : "; ") + more; }
};

// An answer on its way and the parts some faults add to it.
struct Outgoing {
  Pending main;
  std::string what;  // as logged: "ack", "refused", "data"
  std::optional<Pending> trailer, xon, ackAfter, hangup;
};

void Sim::Handle(const std::uint8_t* pkt, bool udp, const sockaddr_in* from, std::uint32_t speed) {
  ++requests_;
  const int cmd = pkt[0];
  const int arg = pkt[1] | (pkt[2] << 8);
  auto none = [&](const std::string& why) { Log(udp, from, speed, cmd, arg, "none", why); };
  if (requests_ <= o_.ignoreFirst) return none("ignored");
  if (!udp) {
    if (speed == 0) return none("line speed changed within the frame");
    if (speed != ScaleSpeed())
      return none("line at " + std::to_string(speed) + ", scale at " + std::to_string(ScaleSpeed()));
  }
  if (o_.silent) return none("silent");
  if (!ChecksumOk(pkt)) return none("bad checksum");

  Reply r;
  if (RefusedByOption(cmd, arg))
    r.note = "refused by option";
  else
    r = Decide(cmd, arg, pkt + kPayloadOffset, udp);
  if (r.kind == Reply::Kind::Silent) return none(r.note);

  const auto now = Clock::now();
  Outgoing out = Shape(r, udp, from, now);
  if (udp) {
    if (auto foreign = QueueStrays(out.main, now, r)) {
      // The other sender's 0x02 follows the answer; nothing else goes with it.
      Queue(std::move(out.main));
      Queue(std::move(*foreign));
      Log(udp, from, speed, cmd, arg, out.what, r.note);
      Flush(Clock::now());
      return;
    }
  }
  Log(udp, from, speed, cmd, arg, out.what, r.note);
  QueueAnswer(std::move(out), r);
}

bool Sim::RefusedByOption(int cmd, int arg) {
  for (auto& r : o_.refusals) {
    if (r.cmd == cmd && r.arg == arg && (r.times < 0 || r.used < r.times)) {
      ++r.used;
      return true;
    }
  }
  return false;
}

Reply Sim::Decide(int cmd, int arg, const std::uint8_t* payload, bool udp) {
  using pbus::kCmdSession, pbus::kArgLogOn, pbus::kArgLogOff, pbus::kArgRead, pbus::kArgUpgradeEntry,
      pbus::kCmdUpgrade, pbus::kArgStartUpgrade, pbus::kArgFinishUpgrade, pbus::kFirstImageBlock,
      pbus::kCmdParamBlock, pbus::kArgParamBlock, pbus::kUpgradeEntryMode;
  using Kind = Reply::Kind;
  Reply r;
  if (cmd == kCmdSession && arg == kArgLogOn) {
    const int idx = payload[10];
    if (!IdOk(payload)) {
      r.note = "wrong access code";
    } else if (idx >= static_cast<int>(kBaudTable.size())) {
      r.note = "bad speed index";
    } else {
      r.kind = Kind::Ack;
      char dt[80];
      std::snprintf(dt, sizeof dt, "log-on 20%02X-%02X-%02X %02X:%02X:%02X speed index %d", payload[4], payload[5],
                    payload[6], payload[7], payload[8], payload[9], idx);
      r.note = dt;
      if (!udp && !o_.onlySpeed) r.switchTo = idx;
    }
  } else if (cmd == kCmdSession && arg == kArgLogOff) {
    r.kind = IdOk(payload) ? Kind::Ack : Kind::Refuse;
    if (r.kind == Kind::Refuse) r.note = "wrong access code";
  } else if (cmd == kCmdSession && arg == kArgRead) {
    r.kind = Kind::Data;
    BuildPacket(r.answer, kCmdSession, kArgRead, lastParams_);
  } else if (cmd == kCmdSession && arg == kArgUpgradeEntry) {
    if (payload[0] == 0x17 && payload[1] == 0x48 && payload[2] == kUpgradeEntryMode) {
      r.kind = Kind::Data;
      BuildPacket(r.answer, kCmdSession, kArgUpgradeEntry, std::span<const std::uint8_t>(payload, 3));
    } else {
      r.note = "wrong access code";
    }
  } else if (cmd == kCmdUpgrade && arg == kArgStartUpgrade) {
    r.kind = Kind::Ack;
    FirmwareStart();
  } else if (cmd == kCmdUpgrade && arg == kArgFinishUpgrade) {
    r.kind = Kind::Ack;
    FirmwareFinish();
    r.note = "verification word " + std::to_string(payload[0] | (payload[1] << 8));
  } else if (cmd == kCmdUpgrade && arg >= kFirstImageBlock) {
    if (o_.stopAckFromBlock >= 0 && arg >= o_.stopAckFromBlock) {
      r.kind = o_.stopAckSilent ? Kind::Silent : Kind::Refuse;
      r.note = "stopped acknowledging blocks";
    } else {
      r.kind = Kind::Ack;
      FirmwareBlock(arg, payload);
    }
  } else if (cmd == kCmdParamBlock && arg == kArgParamBlock) {
    r.kind = Kind::Ack;
    StoreParams(payload);
  } else {
    r.note = "unknown request";
  }
  return r;
}

Outgoing Sim::Shape(Reply& r, bool udp, const sockaddr_in* from, Clock::time_point now) {
  using std::chrono::milliseconds;
  Outgoing out;
  Pending& p = out.main;
  auto delay = milliseconds(o_.delayMs);
  if (o_.lateMs > 0 && requests_ % o_.lateEvery == 0) delay += milliseconds(o_.lateMs);
  p.due = now + delay;
  p.udp = udp;
  if (from) p.to = *from;
  switch (r.kind) {
    case Reply::Kind::Silent:  // answered by nothing, before this
    case Reply::Kind::Ack:
      p.bytes = {kVerdictAck};
      out.what = "ack";
      break;
    case Reply::Kind::Refuse:
      p.bytes = {kVerdictRefused};
      out.what = "refused";
      if (o_.ackAfterRefusalMs >= 0) {
        out.ackAfter = p;
        out.ackAfter->bytes = {kVerdictAck};
        r.AddNote("0x02 " + std::to_string(o_.ackAfterRefusalMs) + " ms after the refusal");
      }
      break;
    case Reply::Kind::Data:
      if (o_.badChecksum) r.answer[kChecksumOffset] ^= 0x01;
      out.what = "data";
      if (udp) {
        p.bytes.assign(r.answer.begin(), r.answer.begin() + kPacketSize);
        break;
      }
      p.bytes.resize(kFrameSize);
      EncodeFrame(r.answer.data(), p.bytes.data());
      p.bytes[kFrameSize - 1] = kFrameTrailer;
      if (o_.byteGapMs >= 0) {
        p.byteGap = milliseconds(o_.byteGapMs);
        r.AddNote("one byte every " + std::to_string(o_.byteGapMs) + " ms");
      }
      if (o_.lateTrailerMs >= 0) {
        p.bytes.pop_back();
        out.trailer = Pending{};
        out.trailer->udp = false;
        out.trailer->bytes = {kFrameTrailer};
        r.AddNote("trailer " + std::to_string(o_.lateTrailerMs) + " ms late");
      }
      break;
  }
  // A flash erase, say: the scale holds the tool's line once it has said yes.
  if (!udp && r.kind == Reply::Kind::Ack && o_.xoffHoldMs >= 0 && ++acks_ % o_.xoffEvery == 0) {
    p.bytes.push_back(pbus::kXoff);
    out.xon = Pending{};
    out.xon->udp = false;
    out.xon->bytes = {pbus::kXon};
    r.AddNote("XOFF for " + std::to_string(o_.xoffHoldMs) + " ms");
  }
  // The line drops a moment after the answer has gone out (a hang-up at once
  // would take the answer with it, as on a real line).
  if (!udp && o_.hangupAfter >= 0 && ++answered_ == o_.hangupAfter) {
    out.hangup = Pending{};
    out.hangup->udp = false;
    out.hangup->hangup = true;
    r.AddNote("then the line hangs up");
  }
  return out;
}

// Another sender's 0x02, and datagrams no answer is made of, ahead of the
// answer. Returns the other sender's 0x02 when it is due after the answer.
std::optional<Pending> Sim::QueueStrays(const Pending& p, Clock::time_point now, Reply& r) {
  Pending foreign = p;
  foreign.fd = foreignFd_;
  foreign.bytes = {kVerdictAck};
  foreign.due = now + std::chrono::milliseconds(std::max(o_.foreignAckMs, 0));
  const bool foreignFirst = foreignFd_ >= 0 && foreign.due <= p.due;
  if (foreignFirst) Queue(foreign);
  for (long size : o_.junkSizes) {
    Pending junk = p;
    junk.bytes.assign(static_cast<std::size_t>(size), 0);
    if (size > 0) junk.bytes[0] = kVerdictAck;
    Queue(std::move(junk));
  }
  if (foreignFd_ >= 0) r.AddNote("0x02 from another port " + std::to_string(o_.foreignAckMs) + " ms after");
  if (!o_.junkSizes.empty()) r.AddNote("junk datagrams first");
  if (foreignFd_ >= 0 && !foreignFirst) return foreign;
  return std::nullopt;
}

void Sim::QueueAnswer(Outgoing out, const Reply& r) {
  using std::chrono::milliseconds;
  Pending& p = out.main;
  // The speed switch follows the last copy of the log-on's verdict.
  const bool again = r.kind != Reply::Kind::Data && o_.verdictAgainMs >= 0;
  if (o_.answerTwice) {
    Pending first = p;
    if (out.trailer) first.bytes.push_back(kFrameTrailer);
    Queue(std::move(first));
  }
  if (again) Queue(p);
  p.switchToIndex = r.switchTo;
  if (again) {
    p.bytes.resize(1);  // the repeat carries the verdict alone
    Queue(std::move(p), milliseconds(o_.verdictAgainMs));
  } else {
    Queue(std::move(p));
  }
  if (out.ackAfter) Queue(std::move(*out.ackAfter), milliseconds(o_.ackAfterRefusalMs));
  if (out.trailer) Queue(std::move(*out.trailer), milliseconds(o_.lateTrailerMs));
  if (out.xon) Queue(std::move(*out.xon), milliseconds(o_.xoffHoldMs));
  if (out.hangup) Queue(std::move(*out.hangup), milliseconds(100));
  Flush(Clock::now());
}

}  // namespace facset::sim

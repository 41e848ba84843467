#pragma once
// A scale with faults, written from the protocol alone, for the seeded
// campaign: it plays one download's requests over the scripted transport in
// virtual time and keeps what it stored, so a run's verdict can be checked
// against the truth. Each run draws the scale's nature from its seed, as real
// firmware and lines behave: a line that loses requests or answers at some
// rate, answers that come late (within a bound), firmware that sends every
// verdict twice with gaps in a range, refusals at random.

#include <cstdint>
#include <memory>
#include <vector>
#include <random>
#include <set>
#include <string>

#include "protocol/pbus.h"
#include "protocol/pbus_commands.h"
#include "support/scripted_transport.h"

namespace facset::testing {

struct PeerNature {
  bool serial = false;
  double loseRequest = 0;  // the transmission never reaches the scale
  double loseAnswer = 0;   // the scale acts, its answer never reaches the tool
  double late = 0;         // an answer comes after lateMinMs..lateMaxMs
  int lateMinMs = 0, lateMaxMs = 0;
  bool copies = false;     // firmware that sends every verdict again
  int copyMinMs = 0, copyMaxMs = 0;
  double refuse = 0;       // a request refused (and not acted on)
  int answerMinMs = 1, answerMaxMs = 20;
  std::uint32_t speed = 9600;  // serial: the speed the scale starts at

  // The fault kinds this nature has, for the campaign's figures.
  std::string Kind() const {
    std::string k;
    auto add = [&](bool on, const char* name) {
      if (on) k += std::string(k.empty() ? "" : "+") + name;
    };
    add(loseRequest > 0, "lost requests");
    add(loseAnswer > 0, "lost answers");
    add(late > 0, "late answers");
    add(copies, "copies");
    add(refuse > 0, "refusals");
    return k.empty() ? "none" : k;
  }

  // One nature per seed: about a fifth of the runs well behaved, the rest
  // with one fault kind or a mix.
  // Late answers stay within the engine's late limit, copies within its copy
  // window: the bounds the engine names.
  static PeerNature Draw(std::mt19937_64& rng, bool serial, int lateLimitMs, int copyWindowMs = 600) {
    PeerNature n;
    n.serial = serial;
    std::uniform_real_distribution<double> u(0, 1);
    const double pick = u(rng);
    const bool mix = pick > 0.8;
    const int kind = static_cast<int>(u(rng) * 5);
    auto on = [&](int k) { return (pick > 0.2 && kind == k) || (mix && u(rng) < 0.5); };
    if (on(0)) n.loseRequest = 0.02 + 0.2 * u(rng);
    if (on(1)) n.loseAnswer = 0.02 + 0.2 * u(rng);
    if (on(2)) {
      n.late = 0.05 + 0.3 * u(rng);
      n.lateMinMs = 850;
      n.lateMaxMs = 850 + static_cast<int>((lateLimitMs - 950) * u(rng));
    }
    if (on(3)) {
      n.copies = true;
      n.copyMinMs = 1 + static_cast<int>(40 * u(rng));
      n.copyMaxMs = n.copyMinMs + static_cast<int>((copyWindowMs - n.copyMinMs) * u(rng));
    }
    if (on(4)) n.refuse = 0.02 + 0.2 * u(rng);
    if (serial && u(rng) < 0.3) n.speed = pbus::kBaudTable[static_cast<std::size_t>(u(rng) * 5) % 5];
    return n;
  }
};

class FaultPeer {
 public:
  FaultPeer(PeerNature nature, std::uint64_t seed) : n_(nature), rng_(seed), speed_(nature.speed) {}

  // The scale as the scripted transport calls it, once per transmission.
  ScriptedTransport::Scale Scale() {
    return [this](const ScriptedTransport::Sent& s) { return React(s); };
  }

  bool paramsStored = false;
  std::set<std::uint16_t> blocksStored;
  bool upgradeStarted = false;
  bool upgradeFinished = false;

 private:
  bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  int Between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, std::max(lo, hi))(rng_); }

  ScriptedTransport::Reaction React(const ScriptedTransport::Sent& s) {
    ScriptedTransport::Reaction r;
    if (Chance(n_.loseRequest)) {
      r.lost = true;
      return r;
    }
    // A frame at another speed is noise to the scale.
    if (n_.serial && s.speed != speed_) return r;
    const std::uint8_t cmd = s.command();
    const std::uint16_t arg = s.arg();
    ScriptedTransport::Bytes answer;
    bool verdict = true;
    int switchTo = -1;
    if (Chance(n_.refuse)) {
      answer = {pbus::kVerdictRefused};
    } else if (cmd == pbus::kCmdSession && (arg == pbus::kArgRead || arg == pbus::kArgUpgradeEntry)) {
      answer = n_.serial ? DataFrame(cmd, arg) : DataPacket(cmd, arg);
      verdict = false;
    } else {
      answer = {pbus::kVerdictAck};
      if (cmd == pbus::kCmdSession && arg == pbus::kArgLogOn) switchTo = s.packet[3 + 10];
      if (cmd == pbus::kCmdParamBlock && arg == pbus::kArgParamBlock) paramsStored = true;
      if (cmd == pbus::kCmdUpgrade && arg == pbus::kArgStartUpgrade) {
        upgradeStarted = true;
        blocksStored.clear();
      }
      if (cmd == pbus::kCmdUpgrade && arg == pbus::kArgFinishUpgrade) upgradeFinished = upgradeStarted;
      if (cmd == pbus::kCmdUpgrade && arg >= pbus::kFirstImageBlock && upgradeStarted) blocksStored.insert(arg);
    }
    const std::uint32_t answerSpeed = speed_;
    if (switchTo >= 0 && switchTo < 5) speed_ = pbus::kBaudTable[static_cast<std::size_t>(switchTo)];
    // The answer and its copy travel (and are lost) each on its own.
    const int at = Chance(n_.late) ? Between(n_.lateMinMs, n_.lateMaxMs) : Between(n_.answerMinMs, n_.answerMaxMs);
    if (!Chance(n_.loseAnswer)) r.replies.push_back({at, answer, {}, n_.serial ? answerSpeed : 0});
    if (n_.copies && verdict) {
      const int copyAt = at + Between(n_.copyMinMs, n_.copyMaxMs);
      if (!Chance(n_.loseAnswer)) r.replies.push_back({copyAt, answer, {}, n_.serial ? speed_ : 0});
    }
    return r;
  }

  PeerNature n_;
  std::mt19937_64 rng_;
  std::uint32_t speed_;
};

enum class CampaignEnd : std::uint8_t { Ok, NotProven, Failed };

struct CampaignRun {
  CampaignEnd end = CampaignEnd::Failed;
  bool peerHasAll = false;  // the scale stored the parameter block and every image block, and finished
  std::string kind;
  std::string why;          // the first reason a step was not proven
};

// One download's requests over the faulty peer, the way the download sends
// them: log-on, 80/0, 14/16, 15/0, the image blocks, 15/1, then 14/3 and 14/2
// as the link closes. Ends at the first failed step. "ok" needs every step
// acknowledged and still proven when the link's account is reviewed at its close.
inline CampaignRun RunCampaignDownload(std::uint64_t seed, bool serial, int imageBlocks = 6) {
  std::mt19937_64 rng(seed);
  const int lateLimit = 3000;
  const PeerNature nature = PeerNature::Draw(rng, serial, lateLimit);
  FaultPeer peer(nature, rng());
  CampaignRun run;
  run.kind = nature.Kind();
  TPBusComm e;
  e.SetAnswerLateLimit(lateLimit);
  e.Open(std::make_unique<ScriptedTransport>(serial, peer.Scale()));
  std::vector<std::uint8_t> block(pbus::kBlockSize, 0x5A);
  block[0] = pbus::kParamBlockMarker;
  std::vector<std::size_t> steps;
  bool ok = e.Connect(pbus::kAccessCode);
  steps.push_back(e.LastOutcome().index);
  auto step = [&](bool r) {
    ok = ok && r;
    if (r) steps.push_back(e.LastOutcome().index);
  };
  if (ok) step(e.WriteBlock(pbus::kCmdParamBlock, pbus::kArgParamBlock, block));
  if (ok) step(e.ReadBlock(pbus::kCmdSession, pbus::kArgUpgradeEntry, std::vector<std::uint8_t>{0x17, 0x48, 0x10}));
  if (ok) step(e.StartUpgrade(0));
  for (int k = 0; ok && k < imageBlocks; ++k)
    step(e.WriteBlock(pbus::kCmdUpgrade, static_cast<std::uint16_t>(pbus::kFirstImageBlock + k), block));
  if (ok) step(e.FinishUpgrade(pbus::kVerificationWord));
  if (e.ReadBlock(pbus::kCmdSession, pbus::kArgRead)) e.Disconnect(pbus::kAccessCode);
  e.Close();
  const LinkReview review = e.ReviewLink();
  if (ok) {
    run.end = CampaignEnd::Ok;
    for (std::size_t i : steps) {
      if (review.requests[i].end != RequestEnd::Proven) {
        run.end = CampaignEnd::NotProven;
        run.why = review.requests[i].reason;
        break;
      }
    }
  }
  bool all = peer.paramsStored && peer.upgradeFinished;
  for (int k = 0; k < imageBlocks; ++k)
    all = all && peer.blocksStored.count(static_cast<std::uint16_t>(pbus::kFirstImageBlock + k)) == 1;
  run.peerHasAll = all;
  return run;
}

}  // namespace facset::testing

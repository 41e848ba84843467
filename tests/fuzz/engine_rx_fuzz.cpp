// Fuzz target: the engine's receive path. The input is what a scale (or the
// line) sends back to one request, cut into deliveries that arrive over
// virtual time through the scripted transport; the engine runs a real
// transaction on it.
//
// Links: facset_protocol (with facset_serial, facset_platform, Qt6::Core);
// include path: tests/ (support/scripted_transport.h).
//
// Input: byte 0 picks the transport (bit 0: serial stream, else UDP) and the
// request (bit 1: data answer expected); byte 1 the repeats (0..3); then
// records of [length, delay] followed by `length` bytes.
#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <memory>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/pbus.h"
#include "support/scripted_transport.h"

using namespace facset;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool stream = data[0] & 1;
  const bool read = data[0] & 2;
  const int repeats = data[1] & 3;
  std::vector<testing::ScriptedTransport::Reply> replies;
  std::vector<std::uint8_t> all;
  int at = 0;
  for (std::size_t i = 2; i + 2 <= size;) {
    const std::size_t len = data[i];
    at += data[i + 1] * 8;
    i += 2;
    const std::size_t take = std::min(len, size - i);
    replies.push_back({at, std::vector<std::uint8_t>(data + i, data + i + take), {}});
    all.insert(all.end(), data + i, data + i + take);
    i += take;
  }
  std::size_t transmission = 0;
  auto owned = std::make_unique<testing::ScriptedTransport>(stream, [&](const testing::ScriptedTransport::Sent&) {
    testing::ScriptedTransport::Reaction r;
    if (transmission++ == 0) r.replies = replies;  // one answer stream, to the first transmission
    return r;
  });
  const testing::ScriptedTransport& t = *owned;
  TPBusComm e(std::move(owned));
  e.SetRetryCount(static_cast<std::uint8_t>(repeats));
  std::array<std::uint8_t, 256> answer{};
  const bool ok = read ? e.ReadBlock(14, 3, {}, answer) : e.WriteBlock(80, 0);
  if (t.sent.size() > static_cast<std::size_t>(repeats) + 1) std::abort();  // never more than allowed
  if (ok && !read && std::find(all.begin(), all.end(), kVerdictAck) == all.end()) std::abort();
  if (ok != e.LastOutcome().Acknowledged()) std::abort();  // the Boolean and the typed end agree
  const LinkReview review = e.ReviewLink();
  if (review.requests.size() != 1 || review.requests[0].end == RequestEnd::Busy) std::abort();
  return 0;
}

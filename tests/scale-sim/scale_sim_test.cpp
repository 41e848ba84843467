// scale-sim as a black box: raw datagrams and raw frames on its pseudo-terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "protocol/pbus_codec.h"
#include "serial/serial_custom_speed.h"
#include "support/sim_process.h"
#include "support/run_process.h"


namespace facset {
namespace {

using testing::SimProcess;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// What came in one read or datagram, and when.
struct Arrival {
  Bytes bytes;
  Clock::time_point at;
};

// Reads from `fd` until nothing came for `quietMs` (or `firstMs` before the
// first arrival).
std::vector<Arrival> Receive(int fd, int firstMs, int quietMs = 150) {
  std::vector<Arrival> out;
  pollfd p{fd, POLLIN, 0};
  for (int ms = firstMs; poll(&p, 1, ms) > 0; ms = quietMs) {
    Bytes d(2048);
    const ssize_t n = read(fd, d.data(), d.size());
    if (n <= 0) break;
    d.resize(static_cast<std::size_t>(n));
    out.push_back({d, Clock::now()});
  }
  return out;
}

Bytes Joined(const std::vector<Arrival>& a) {
  Bytes all;
  for (const auto& x : a) all.insert(all.end(), x.bytes.begin(), x.bytes.end());
  return all;
}

double MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

Buffer Request(std::uint8_t cmd, std::uint16_t arg, Bytes payload = {}) {
  Buffer b{};
  BuildPacket(b, cmd, arg, payload);
  return b;
}

Bytes LogOnPayload(std::uint8_t speedIndex, std::uint32_t id = kAccessCode) {
  Bytes p(11, 0);
  IdToBcdLsbFirst(id, p.data());
  p[4] = 0x26, p[5] = 0x12, p[6] = 0x09, p[7] = 0x01, p[8] = 0x30, p[9] = 0x45;
  p[10] = speedIndex;
  return p;
}

class UdpClientSock {
 public:
  explicit UdpClientSock(int port) : port_(port) { fd_ = socket(AF_INET, SOCK_DGRAM, 0); }
  ~UdpClientSock() { close(fd_); }
  // Sends the packet and collects every datagram that comes within `ms`.
  std::vector<Bytes> Ask(const Buffer& pkt, int ms = 500, std::size_t len = kPacketSize) {
    Send(pkt, len);
    return Collect(ms);
  }
  Clock::time_point Send(const Buffer& pkt, std::size_t len = kPacketSize) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto at = Clock::now();
    sendto(fd_, pkt.data(), len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return at;
  }
  std::vector<Arrival> CollectTimed(int firstMs, int quietMs) { return Receive(fd_, firstMs, quietMs); }
  std::vector<Bytes> Collect(int ms) {
    std::vector<Bytes> out;
    pollfd p{fd_, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
      Bytes d(2048);
      const ssize_t n = recv(fd_, d.data(), d.size(), 0);
      d.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
      out.push_back(d);
      ms = 150;  // a second copy follows closely
    }
    return out;
  }

 private:
  int fd_;
  int port_;
};

TEST(ScaleSimCli, HelpAndBadOptions) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  for (const auto& c : std::vector<Case>{{{"--help"}, 0},
                                          {{"--bogus"}, 2},
                                          {{"--speed", "12345"}, 2},
                                          {{"--no-udp"}, 2},
                                          {{"--refuse", "80"}, 2},
                                          {{"--late", "300:0"}, 2},
                                          {{"--late", "-5"}, 2},
                                          {{"--late", "300:"}, 2},
                                          {{"--xoff-every", "0"}, 2},
                                          {{"--xoff-hold"}, 2},
                                          {{"--verdict-twice", "soon"}, 2},
                                          {{"--late-trailer", "1e3"}, 2}}) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    EXPECT_EQ(testing::RunProcess(testing::SimPath(), c.args).status, c.exitCode);
  }
}

TEST(ScaleSimCli, HelpFitsEightyColumns) {
  const auto r = testing::RunProcess(testing::SimPath(), {"--help"});
  std::istringstream in(r.out);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) EXPECT_LE(line.size(), 80u) << line;
  for (const char* opt : {"--late ", "--verdict-twice ", "--xoff-hold ", "--xoff-every ", "--late-trailer ", "--line-rate"})
    EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
  EXPECT_GT(lines, 10);
}

TEST(ScaleSimCli, SignalsEndItCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    testing::TempDir dir;
    const std::string link = dir.file("ttyScale");
    SimProcess sim({"--pty-link", link});
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), sim.ptyPath());
    const int status = sim.Stop(sig);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  }
}

TEST(ScaleSimUdp, Answers) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    std::vector<Buffer> requests;  // the last one's answers are checked
    std::vector<Bytes> verdicts;   // expected answers, or empty for a data check
    bool dataChecksumOk = true;
  };
  const std::vector<Case> cases = {
      {"log-on", {}, {Request(14, 1, LogOnPayload(0))}, {{0x02}}},
      {"log-on with a wrong access code", {}, {Request(14, 1, LogOnPayload(0, 1234))}, {{0x55}}},
      {"log-off", {}, {Request(14, 2, LogOnPayload(0))}, {{0x02}}},
      {"unknown request", {}, {Request(99, 0)}, {{0x55}}},
      {"refused the first time only", {"--refuse", "80/0:1"}, {Request(80, 0), Request(80, 0)}, {{0x02}}},
      {"answer twice", {"--answer-twice"}, {Request(80, 0)}, {{0x02}, {0x02}}},
      {"first request ignored", {"--ignore-first", "1"}, {Request(80, 0), Request(80, 0)}, {{0x02}}},
      {"silent", {"--silent"}, {Request(80, 0)}, {}},
      {"reading request", {}, {Request(14, 3)}, {}, true},
      {"upgrade entry", {}, {Request(14, 16, {0x17, 0x48, 0x10})}, {}, true},
      {"wrong checksum on demand", {"--bad-checksum"}, {Request(14, 3)}, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimProcess sim(c.simArgs);
    UdpClientSock client(sim.udpPort());
    std::vector<Bytes> got;
    for (const auto& r : c.requests) got = client.Ask(r);
    const bool isData = c.verdicts.empty() && std::string(c.what) != "silent";
    if (!isData) {
      EXPECT_EQ(got, c.verdicts);
      continue;
    }
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), kPacketSize);
    EXPECT_EQ(got[0][0], c.requests.back()[0]);
    EXPECT_EQ(got[0][1], c.requests.back()[1]);
    EXPECT_EQ(ChecksumOk(got[0].data()), c.dataChecksumOk);
  }
}

TEST(ScaleSimUdp, LateEveryNthAnswer) {
  SimProcess sim({"--late", "400:2"});
  UdpClientSock client(sim.udpPort());
  EXPECT_EQ(client.Ask(Request(80, 0), 300), std::vector<Bytes>{{0x02}});
  const auto sent = client.Send(Request(99, 0));
  const auto got = client.CollectTimed(3000, 150);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes, Bytes{0x55});
  EXPECT_GE(MsBetween(sent, got[0].at), 400);
  EXPECT_EQ(client.Ask(Request(80, 0), 300), std::vector<Bytes>{{0x02}});  // the third is on time again
}

TEST(ScaleSimUdp, VerdictRepeatedAfterAGapDataNot) {
  SimProcess sim({"--verdict-twice", "250"});
  UdpClientSock client(sim.udpPort());
  for (const auto& [req, verdict] : std::vector<std::pair<Buffer, std::uint8_t>>{{Request(80, 0), 0x02},
                                                                                  {Request(99, 0), 0x55}}) {
    SCOPED_TRACE(verdict);
    const auto sent = client.Send(req);
    const auto got = client.CollectTimed(1000, 1000);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, Bytes{verdict});
    EXPECT_EQ(got[1].bytes, Bytes{verdict});
    EXPECT_GE(MsBetween(sent, got[1].at), 250);
  }
  client.Send(Request(14, 3));
  const auto data = client.CollectTimed(1000, 600);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].bytes.size(), kPacketSize);
}

TEST(ScaleSimUdp, DelayedAnswer) {
  SimProcess sim({"--delay", "300"});
  UdpClientSock client(sim.udpPort());
  EXPECT_TRUE(client.Ask(Request(80, 0), 100).empty());
  EXPECT_EQ(client.Collect(3000), std::vector<Bytes>{{0x02}});  // it comes later
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ScaleSimUdp, StoresBlockAndFirmware) {
  SimProcess sim({"--stop-ack-from-block", "34"});
  UdpClientSock client(sim.udpPort());
  Bytes params(256);
  for (int i = 0; i < 256; ++i) params[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  ASSERT_EQ(client.Ask(Request(80, 0, params)), std::vector<Bytes>{{0x02}});
  EXPECT_EQ(ReadFile(sim.paramFile()), params);
  // The reading request answers with the stored block.
  const auto data = client.Ask(Request(14, 3));
  ASSERT_EQ(data.size(), 1u);
  EXPECT_TRUE(std::equal(params.begin(), params.end(), data[0].begin() + kPayloadOffset));

  ASSERT_EQ(client.Ask(Request(15, 0)), std::vector<Bytes>{{0x02}});
  ASSERT_EQ(client.Ask(Request(15, 32, Bytes(256, 0x32))), std::vector<Bytes>{{0x02}});
  ASSERT_EQ(client.Ask(Request(15, 33, Bytes(256, 0x33))), std::vector<Bytes>{{0x02}});
  EXPECT_EQ(client.Ask(Request(15, 34, Bytes(256, 0x34))), std::vector<Bytes>{{0x55}});
  ASSERT_EQ(client.Ask(Request(15, 1)), std::vector<Bytes>{{0x02}});
  const auto image = ReadFile(sim.firmwareFile());
  ASSERT_EQ(image.size(), 34u * 256);
  EXPECT_EQ(image[8191], 0x00);
  EXPECT_EQ(image[8192], 0x32);
  EXPECT_EQ(image[34 * 256 - 1], 0x33);

  const auto log = sim.WaitLog(7);
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[0].transport, "udp");
  EXPECT_EQ(log[0].cmd, 80);
  EXPECT_EQ(log[0].arg, 0);
  EXPECT_EQ(log[0].answer, "ack");
  EXPECT_EQ(log[1].answer, "data");
  EXPECT_EQ(log[5].answer, "refused");
  EXPECT_NE(log[0].raw.find("\"time\":\""), std::string::npos);
}

// A client on the simulator's pseudo-terminal slave.
class PtyClient {
 public:
  explicit PtyClient(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~PtyClient() { close(fd_); }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void SetSpeed(speed_t s) {
    termios t{};
    tcgetattr(fd_, &t);
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
    tcsetattr(fd_, TCSANOW, &t);
  }
  Clock::time_point Send(const Buffer& pkt) {
    std::uint8_t frame[kFrameSize];
    EncodeFrame(pkt.data(), frame);
    frame[301] = kFrameTrailer;
    const auto at = Clock::now();
    (void)!write(fd_, frame, sizeof frame);
    return at;
  }
  std::vector<Arrival> Receive(int firstMs, int quietMs = 150) { return facset::Receive(fd_, firstMs, quietMs); }
  Bytes Ask(const Buffer& pkt, int ms = 500) {
    Send(pkt);
    Bytes out;
    pollfd p{fd_, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
      std::uint8_t buf[512];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
      ms = 100;
    }
    return out;
  }

 private:
  int fd_ = -1;
};

// scale-sim on a pseudo-terminal alone, with a raw client at 9600.
struct PtySim {
  explicit PtySim(std::vector<std::string> args) : sim(Args(std::move(args)), true), c(sim.ptyPath()) {
    c.SetSpeed(B9600);
  }
  static std::vector<std::string> Args(std::vector<std::string> a) {
    a.insert(a.begin(), "--no-udp");
    return a;
  }
  SimProcess sim;
  PtyClient c;
};

TEST(ScaleSimSerial, AnswersOnlyAtItsSpeedAndSwitchesAfterLogOn) {
  PtySim p({});
  auto& [sim, c] = p;
  ASSERT_TRUE(c.ok());
  c.SetSpeed(B19200);
  EXPECT_TRUE(c.Ask(Request(14, 1, LogOnPayload(2)), 300).empty());
  c.SetSpeed(B9600);
  EXPECT_EQ(c.Ask(Request(14, 1, LogOnPayload(2))), Bytes{0x02});
  EXPECT_TRUE(c.Ask(Request(80, 0), 300).empty());  // the scale now runs at 38400
  c.SetSpeed(B38400);
  const Bytes frame = c.Ask(Request(14, 3));
  ASSERT_EQ(frame.size(), kFrameSize);
  EXPECT_EQ(frame[0], kFrameStart);
  EXPECT_EQ(frame[300], kFrameEnd);
  EXPECT_EQ(frame[301], kFrameTrailer);
  Buffer pkt{};
  EXPECT_TRUE(DecodeFrame(frame.data(), pkt.data()));
  EXPECT_EQ(pkt[0], 14);
  EXPECT_EQ(pkt[1], 3);
  const auto log = sim.WaitLog(4);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].speed, 19200);
  EXPECT_EQ(log[0].answer, "none");
  EXPECT_EQ(log[3].speed, 38400);
  EXPECT_EQ(log[3].transport, "serial");
}

// Drivers may set even a classic speed through termios2 (BOTHER); the scale
// goes by the number, not by how it was written.
TEST(ScaleSimSerial, SpeedCountsHoweverTheToolSetIt) {
  struct Case {
    const char* what;
    std::uint32_t bps;
    bool custom;
    bool answered;
  };
  PtySim p({});
  auto& [sim, c] = p;
  ASSERT_TRUE(c.ok());
  for (const Case& k : {Case{"9600 as B9600", 9600, false, true}, Case{"9600 as BOTHER", 9600, true, true},
                        Case{"19200 as BOTHER", 19200, true, false}, Case{"9601 as BOTHER", 9601, true, false},
                        Case{"19200 as B19200", 19200, false, false}}) {
    SCOPED_TRACE(k.what);
    if (k.custom) ASSERT_TRUE(serial_detail::SetCustomSpeed(c.fd(), k.bps));
    else c.SetSpeed(k.bps == 9600 ? B9600 : B19200);
    EXPECT_EQ(c.Ask(Request(80, 0), 400), k.answered ? Bytes{0x02} : Bytes{});
  }
}

TEST(ScaleSimSerial, OnlySpeedNeverSwitches) {
  SimProcess sim({"--only-speed", "57600"}, true);
  PtyClient c(sim.ptyPath());
  c.SetSpeed(B9600);
  EXPECT_TRUE(c.Ask(Request(80, 0), 300).empty());
  c.SetSpeed(B57600);
  EXPECT_EQ(c.Ask(Request(14, 1, LogOnPayload(0))), Bytes{0x02});
  EXPECT_EQ(c.Ask(Request(80, 0)), Bytes{0x02});
}

// A real receiver at another speed than the sender's sees only framing
// errors, so an answer that leaves after the tool switched speed is lost.
TEST(ScaleSimSerial, AnswerLostWhenTheToolSwitchedSpeedBeforeIt) {
  PtySim p({"--delay", "1500"});
  auto& [sim, c] = p;
  ASSERT_TRUE(c.ok());
  c.Send(Request(80, 0));
  const auto log = sim.WaitLog(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].answer, "ack");  // taken at the scale's speed...
  c.SetSpeed(B19200);
  EXPECT_TRUE(c.Receive(2500).empty());  // ...but answered into a line at 19200
  c.SetSpeed(B9600);
  EXPECT_EQ(c.Ask(Request(80, 0), 2500), Bytes{0x02});
}

TEST(ScaleSimSerial, LineRatePacesBothDirectionsAtTheCurrentSpeed) {
  struct Case {
    std::uint8_t speedIndex;
    speed_t speed;
    double bps;
  };
  PtySim p({"--line-rate"});
  auto& [sim, c] = p;
  ASSERT_TRUE(c.ok());
  const double frameMsAt9600 = kFrameSize * 10 * 1000.0 / 9600;
  for (const Case& k : {Case{0, B9600, 9600}, Case{4, B115200, 115200}}) {
    SCOPED_TRACE(k.bps);
    c.SetSpeed(B9600);
    ASSERT_EQ(c.Ask(Request(14, 1, LogOnPayload(k.speedIndex)), 2000), Bytes{0x02});
    c.SetSpeed(k.speed);
    const double byteMs = 10 * 1000.0 / k.bps;
    // The request's last byte is in only after its line time.
    auto sent = c.Send(Request(80, 0));
    auto got = c.Receive(3000);
    ASSERT_EQ(Joined(got), Bytes{0x02});
    EXPECT_GE(MsBetween(sent, got.front().at), (kFrameSize + 1) * byteMs - 1);
    // A data answer takes its own line time after the request's.
    sent = c.Send(Request(14, 3));
    got = c.Receive(3000);
    ASSERT_EQ(Joined(got).size(), kFrameSize);
    EXPECT_GE(MsBetween(sent, got.back().at), 2 * kFrameSize * byteMs - 1);
    // ...and at the speed the scale switched to, not the one it started at.
    if (k.bps > 9600) {
      EXPECT_LT(MsBetween(sent, got.back().at), 2 * frameMsAt9600);
    }
  }
}

TEST(ScaleSimSerial, XoffHeldAfterEveryNthAcknowledgement) {
  PtySim p({"--xoff-hold", "400", "--xoff-every", "2"});  // raw: flow-control characters arrive as data
  auto& [sim, c] = p;
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.Ask(Request(80, 0)), Bytes{0x02});   // first acknowledgement
  EXPECT_EQ(c.Ask(Request(99, 0)), Bytes{0x55});   // a refusal does not count
  const auto sent = c.Send(Request(80, 0));        // second acknowledgement
  const auto got = c.Receive(1000, 1000);
  ASSERT_EQ(Joined(got), (Bytes{0x02, 0x13, 0x11}));
  EXPECT_EQ(got.back().bytes, Bytes{0x11});
  EXPECT_GE(MsBetween(sent, got.back().at), 400);
  EXPECT_EQ(c.Ask(Request(80, 0)), Bytes{0x02});   // third
  c.Send(Request(80, 0));  // fourth
  EXPECT_EQ(Joined(c.Receive(1000, 1000)), (Bytes{0x02, 0x13, 0x11}));
}

// A data frame that does not come in one piece: its trailer late, or one
// byte at a time.
TEST(ScaleSimSerial, DataFrameTiming) {
  struct Case {
    std::vector<std::string> args;
    double minMs;  // from the request to the frame's last piece
    std::function<void(const std::vector<Arrival>&)> check;
  };
  const std::vector<Case> cases = {
      {{"--late-trailer", "300"}, 300,
       [](const auto& got) { EXPECT_EQ(got.back().bytes, Bytes{kFrameTrailer}); }},
      {{"--byte-gap", "5"}, 300 * 5 * 0.9, [](const auto& got) { EXPECT_GT(got.size(), 100u); }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.args[0]);
    PtySim p(k.args);
    auto& [sim, c] = p;
    ASSERT_TRUE(c.ok());
    const auto sent = c.Send(Request(14, 3));
    const auto got = c.Receive(1000, 400);
    const Bytes all = Joined(got);
    ASSERT_EQ(all.size(), kFrameSize);
    EXPECT_EQ(all[kFrameNeeded - 1], kFrameEnd);
    EXPECT_GE(MsBetween(sent, got.back().at), k.minMs);
    k.check(got);
    EXPECT_EQ(c.Ask(Request(80, 0)), Bytes{0x02});  // verdicts are not split
  }
}

}  // namespace
}  // namespace facset

namespace facset {
namespace {

// The output files are written through no link planted at their names: each
// is made afresh beside its name and renamed over it.
TEST(ScaleSimFiles, PlantedLinksAreReplacedNeverWrittenThrough) {
  testing::TempDir dir;
  const std::string victim = dir.file("victim");
  testing::WriteFileBytes(victim, "keep me");
  const std::string params = dir.file("params.bin"), firmware = dir.file("firmware.bin"), log = dir.file("log.jsonl");
  for (const auto& p : {params, firmware, log}) fs::create_symlink(victim, p);
  const Bytes block(256, 0x11);
  {
    SimProcess sim({"--param-out", params, "--firmware-out", firmware, "--log", log});
    UdpClientSock client(sim.udpPort());
    ASSERT_EQ(client.Ask(Request(80, 0, block)), std::vector<Bytes>{{0x02}});
    ASSERT_EQ(client.Ask(Request(15, 0)), std::vector<Bytes>{{0x02}});
    ASSERT_EQ(client.Ask(Request(15, 32, Bytes(256, 0x32))), std::vector<Bytes>{{0x02}});
  }
  EXPECT_EQ(testing::ReadFileBytes(victim), "keep me");
  for (const auto& p : {params, firmware, log}) {
    SCOPED_TRACE(p);
    EXPECT_FALSE(fs::is_symlink(p));
    EXPECT_TRUE(fs::is_regular_file(p));
  }
  EXPECT_EQ(ReadFile(params), block);
  const auto image = ReadFile(firmware);
  ASSERT_EQ(image.size(), 33u * 256);
  EXPECT_EQ(image[32 * 256], 0x32);
  EXPECT_NE(testing::ReadFileBytes(log).find("\"cmd\":80"), std::string::npos);
  // Nothing left behind under a temporary name.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 4);
}

// What arrives at the tool's socket for one request, with the sender's port.
struct Datagram {
  Bytes bytes;
  int port;
};
std::vector<Datagram> AskFrom(int simPort, const Buffer& pkt) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(simPort));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, pkt.data(), kPacketSize, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::vector<Datagram> out;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, out.empty() ? 1000 : 300) > 0) {
    Bytes d(2048);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) break;
    d.resize(static_cast<std::size_t>(n));
    out.push_back({d, ntohs(from.sin_port)});
  }
  close(fd);
  return out;
}

TEST(ScaleSimUdp, DatagramsThatAreNoAnswer) {
  struct Case {
    const char* what;
    std::vector<std::string> simArgs;
    std::vector<std::size_t> sizes;  // what arrives, in order
    bool anotherPort;                // one of them from another port
  };
  const std::vector<Case> cases = {
      {"junk of 0, 2, 260 and 1500 bytes first", {"--junk", "0", "--junk", "2", "--junk", "260", "--junk", "1500"},
       {0, 2, 260, 1500, 1}, false},
      {"another sender's 0x02 first", {"--foreign-ack", "0", "--delay", "100"}, {1, 1}, true},
      {"a 0x02 after the refusal", {"--refuse", "80/0", "--ack-after-refusal", "5"}, {1, 1}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimProcess sim(c.simArgs);
    const auto got = AskFrom(sim.udpPort(), Request(80, 0));
    ASSERT_EQ(got.size(), c.sizes.size());
    const bool refusal = std::string(c.what).find("refusal") != std::string::npos;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].bytes.size(), c.sizes[i]) << i;
      if (!got[i].bytes.empty()) {
        EXPECT_EQ(got[i].bytes[0], refusal && i == 0 ? 0x55 : 0x02) << i;
      }
    }
    const auto others = std::count_if(got.begin(), got.end(), [&](const Datagram& d) { return d.port != sim.udpPort(); });
    EXPECT_EQ(others, c.anotherPort ? 1 : 0);
  }
}

TEST(ScaleSimSerial, HangsUpAfterNAnswers) {
  PtySim p({"--hangup-after", "1"});
  auto& [sim, c] = p;
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.Ask(Request(80, 0)), Bytes{0x02});
  pollfd pf{c.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, 2000), 1);
  EXPECT_TRUE(pf.revents & (POLLHUP | POLLERR));
  std::uint8_t b;
  EXPECT_LE(read(c.fd(), &b, 1), 0);  // the line is gone
}

}  // namespace
}  // namespace facset

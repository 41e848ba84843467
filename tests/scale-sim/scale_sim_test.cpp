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

#include <filesystem>
#include <fstream>
#include <iterator>

#include "protocol/pbus_codec.h"
#include "sim_process.h"
#include "support/run_process.h"


namespace facset {
namespace {

using testing::SimProcess;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

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
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd_, pkt.data(), len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return Collect(ms);
  }
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
  for (const auto& c : std::vector<Case>{{{"--help"}, 0}, {{"--bogus"}, 2}, {{"--speed", "12345"}, 2},
                                          {{"--no-udp"}, 2}, {{"--refuse", "80"}, 2}}) {
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(testing::RunProcess(testing::SimPath(), c.args).status, c.exitCode);
  }
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
  void SetSpeed(speed_t s) {
    termios t{};
    tcgetattr(fd_, &t);
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
    tcsetattr(fd_, TCSANOW, &t);
  }
  Bytes Ask(const Buffer& pkt, int ms = 500) {
    std::uint8_t frame[kFrameSize];
    EncodeFrame(pkt.data(), frame);
    frame[301] = kFrameTrailer;
    (void)!write(fd_, frame, sizeof frame);
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

TEST(ScaleSimSerial, AnswersOnlyAtItsSpeedAndSwitchesAfterLogOn) {
  SimProcess sim({"--no-udp", "--pty"});
  PtyClient c(sim.ptyPath());
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

TEST(ScaleSimSerial, OnlySpeedNeverSwitches) {
  SimProcess sim({"--only-speed", "57600"}, true);
  PtyClient c(sim.ptyPath());
  c.SetSpeed(B9600);
  EXPECT_TRUE(c.Ask(Request(80, 0), 300).empty());
  c.SetSpeed(B57600);
  EXPECT_EQ(c.Ask(Request(14, 1, LogOnPayload(0))), Bytes{0x02});
  EXPECT_EQ(c.Ask(Request(80, 0)), Bytes{0x02});
}

}  // namespace
}  // namespace facset

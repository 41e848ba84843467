// Throughput of acknowledged block writes against scale-sim beside plain
// ping-pongs over the same kind of channel, and the CPU an unanswered log-on
// costs. Run: bench_protocol [--benchmark_filter=...]
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>

#include "platform/paths.h"
#include "protocol/pbus.h"
#include "protocol/pbus_links.h"
#include "support/sim_process.h"
#include "support/test_util.h"

namespace facset {
namespace {

using testing::SimProcess;

// The link's one-time looks for copies come before the requests that follow
// its first verdicts (the first request has none before it), so they are all
// behind the link once kCopyLooks + 1 blocks went. They are what BM_LinkStart
// measures, not the per-block rate: one 601 ms look left in a timed loop of
// two seconds costs the rate a fifth.
void PassTheLinksLooks(TPBusComm& e, const std::vector<std::uint8_t>& block) {
  for (int i = 0; i <= TPBusComm::kCopyLooks; ++i) e.WriteBlock(80, 0, block);
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_UdpWriteBlockVsSim(benchmark::State& state) {
  SimProcess sim({}, false, false);
  TPBusComm e(MakeUdpLink("127.0.0.1", sim.udpPort()));
  const std::vector<std::uint8_t> block(256, 0x5A);
  PassTheLinksLooks(e, block);
  for (auto _ : state)
    if (!e.WriteBlock(80, 0, block)) state.SkipWithError("not acknowledged");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UdpWriteBlockVsSim)->UseRealTime()->MinTime(2.0);

// What a link costs once, whatever its length: log-on, the parameter block,
// the reading request and the log-off, the open and the close included (the
// looks for copies and the last look at the close).
void BM_LinkStart(benchmark::State& state) {
  SimProcess sim({}, false, false);
  const std::vector<std::uint8_t> block(256, 0x5A);
  for (auto _ : state) {
    TPBusComm e(MakeUdpLink("127.0.0.1", sim.udpPort()));
    if (!e.Connect(kAccessCode) || !e.WriteBlock(80, 0, block) || !e.ReadBlock(14, 3) || !e.Disconnect(kAccessCode))
      state.SkipWithError("not acknowledged");
    e.Close();
  }
}
BENCHMARK(BM_LinkStart)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// Two processes: 261 bytes out, 261 bytes back.
void BM_UdpPingPong261(benchmark::State& state) {
  const int a = socket(AF_INET, SOCK_DGRAM, 0);
  const testing::UdpPeer echo;
  const int b = echo.fd();
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<std::uint16_t>(echo.port()));
  const pid_t child = fork();
  if (child == 0) {
    unsigned char buf[512];
    for (;;) {
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      const ssize_t n = recvfrom(b, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (n <= 0) _exit(0);
      sendto(b, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
    }
  }
  unsigned char msg[261] = {}, back[512];
  for (auto _ : state) {
    sendto(a, msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (recv(a, back, sizeof back, 0) != 261) state.SkipWithError("short");
  }
  state.SetItemsProcessed(state.iterations());
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(a);
}
BENCHMARK(BM_UdpPingPong261)->UseRealTime()->MinTime(2.0);

void BM_PtyWriteBlockVsSim(benchmark::State& state) {
  SimProcess sim({"--no-udp", "--pty", "--speed", "115200"}, false, false);
  testing::TempDir dir;
  OverrideFilesDir(dir.path());
  TPBusComm e;
  e.SetBaudRate(TBaudRate::tbr115200);
  e.Open(MakeSerialLink(sim.ptyPath()));
  const std::vector<std::uint8_t> block(256, 0x5A);
  PassTheLinksLooks(e, block);
  for (auto _ : state)
    if (!e.WriteBlock(80, 0, block)) state.SkipWithError("not acknowledged");
  state.SetItemsProcessed(state.iterations());
  e.Close();
  OverrideFilesDir("");
}
BENCHMARK(BM_PtyWriteBlockVsSim)->UseRealTime()->MinTime(2.0);

// Two processes on a pseudo-terminal pair: 302 bytes out, 1 byte back.
void BM_PtyPingPong302(benchmark::State& state) {
  int master = -1, slave = -1;
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
    state.SkipWithError("openpty");
    return;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(master);
    unsigned char buf[512];
    std::size_t have = 0;
    for (;;) {
      const ssize_t n = read(slave, buf, sizeof buf);
      if (n <= 0) _exit(0);
      have += static_cast<std::size_t>(n);
      while (have >= 302) {
        have -= 302;
        const unsigned char ack = 0x02;
        (void)!write(slave, &ack, 1);
      }
    }
  }
  close(slave);
  unsigned char frame[302];
  for (auto& c : frame) c = 0x80;
  for (auto _ : state) {
    (void)!write(master, frame, sizeof frame);
    unsigned char ack;
    if (read(master, &ack, 1) != 1) state.SkipWithError("no answer");
  }
  state.SetItemsProcessed(state.iterations());
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(master);
}
BENCHMARK(BM_PtyPingPong302)->UseRealTime()->MinTime(2.0);

// One log-on to a silent scale with the default 7 x 800 ms (UDP) or 10 x 800 ms (serial).
void BM_UnansweredLogOnCpu(benchmark::State& state) {
  const bool serial = state.range(0) == 1;
  SimProcess sim(serial ? std::vector<std::string>{"--silent", "--no-udp", "--pty"}
                        : std::vector<std::string>{"--silent"},
                 false, false);
  testing::TempDir dir;
  OverrideFilesDir(dir.path());
  TPBusComm e(serial ? MakeSerialLink(sim.ptyPath()) : MakeUdpLink("127.0.0.1", sim.udpPort()));
  double cpu = 0;
  for (auto _ : state) {
    const double before = CpuSeconds();
    if (e.Connect(kAccessCode)) state.SkipWithError("answered");
    cpu = CpuSeconds() - before;
  }
  state.counters["cpu_s"] = cpu;
  e.Close();
  OverrideFilesDir("");
}
BENCHMARK(BM_UnansweredLogOnCpu)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace facset

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

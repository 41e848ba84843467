// scale-sim: plays a label scale on UDP and/or on a pseudo-terminal, so the
// tool and its tests run without hardware. Single-threaded poll loop.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/version.h"
#include "protocol/pbus_codec.h"
#include "protocol/pbus_commands.h"
#include "line_speed.h"

using namespace facset;

namespace {

const char kHelp[] =
    "Usage: scale-sim [options]\n"
    "Plays a label scale over UDP and/or a pseudo-terminal (both at once if asked).\n"
    "\n"
    "Endpoints:\n"
    "  --udp-host ADDR        UDP address to listen on (default 127.0.0.1)\n"
    "  --udp-port PORT        UDP port (default 5001; 0 picks a free port)\n"
    "  --no-udp               no UDP endpoint\n"
    "  --pty                  create a pseudo-terminal (serial side)\n"
    "  --pty-link PATH        create a pseudo-terminal and a symlink PATH to its\n"
    "                         slave\n"
    "  --speed BPS            serial speed the scale starts at (default 9600)\n"
    "  --only-speed BPS       answer on the serial side only at BPS, and never switch\n"
    "  --line-rate            serial bytes take their line time in both directions:\n"
    "                         10 bits per byte at the current speed\n"
    "\n"
    "Storage:\n"
    "  --param-out FILE       write the last parameter block (80/0), 256 bytes\n"
    "  --firmware-out FILE    write the firmware image: block k (15/k) at offset\n"
    "                         k*256; started empty by 15/0, bytes before block 32\n"
    "                         stay zero\n"
    "  --log FILE             one JSON line per request received ('-' for stderr)\n"
    "\n"
    "Faults:\n"
    "  --silent               never answer\n"
    "  --refuse CMD/ARG[:N]   refuse CMD/ARG always, or the first N times\n"
    "                         (repeatable)\n"
    "  --stop-ack-from-block K\n"
    "                         stop acknowledging firmware blocks from block K on\n"
    "  --stop-ack-mode MODE   how: refuse (default) or silent\n"
    "  --bad-checksum         data answers carry a wrong checksum\n"
    "  --delay MS             answer MS milliseconds after the request\n"
    "  --late MS[:N]          answer MS milliseconds late: every request, or every\n"
    "                         N-th (added to --delay)\n"
    "  --answer-twice         send every answer twice\n"
    "  --verdict-twice MS     send every verdict again, MS milliseconds after it\n"
    "  --xoff-hold MS         serial: after an acknowledgement send XOFF, and XON MS\n"
    "                         milliseconds later\n"
    "  --xoff-every N         hold only after every N-th acknowledgement (default 1)\n"
    "  --late-trailer MS      serial: a data frame's 0xFF trailer follows MS ms late\n"
    "  --ignore-first N       ignore the first N requests received (any transport\n"
    "                         or speed)\n"
    "  --help                 this text\n"
    "  --version              the version of this program\n"
    "\n"
    "Answers: verdict 0x02/0x55; 14/3 and 14/16 get a data packet (14/3 carries the\n"
    "last parameter block, 14/16 echoes its request). The log-on (14/1), log-off\n"
    "(14/2) and upgrade entry (14/16) must carry the access code 4817. After\n"
    "acknowledging a serial log-on the scale switches to the speed index of\n"
    "payload byte 10. On the serial side a request counts, and an answer arrives,\n"
    "only while the tool's line is at the scale's speed: bytes sent at another\n"
    "speed are lost, as on a real line. On start-up it prints one line and flushes\n"
    "it:\n"
    "  ready udp=ADDR:PORT pty=/dev/pts/N\n"
    "(each part only when that endpoint exists). SIGINT/SIGTERM end it cleanly.\n";

struct Refusal {
  int cmd = 0;
  int arg = 0;
  long times = -1;  // -1: always
  long used = 0;
};

struct Options {
  bool udp = true;
  std::string udpHost = "127.0.0.1";
  int udpPort = 5001;
  bool pty = false;
  std::string ptyLink;
  std::uint32_t speed = 9600;
  std::uint32_t onlySpeed = 0;
  std::string paramOut, firmwareOut, logPath;
  bool silent = false;
  std::vector<Refusal> refusals;
  long stopAckFromBlock = -1;
  bool stopAckSilent = false;
  bool badChecksum = false;
  int delayMs = 0;
  bool answerTwice = false;
  long ignoreFirst = 0;
  int lateMs = 0;
  long lateEvery = 1;
  int verdictAgainMs = -1;  // -1: off
  int xoffHoldMs = -1;      // -1: off
  long xoffEvery = 1;
  int lateTrailerMs = -1;   // -1: off
  bool lineRate = false;
};

[[noreturn]] void Usage(const std::string& msg) {
  std::fprintf(stderr, "scale-sim: %s\nTry 'scale-sim --help'.\n", msg.c_str());
  std::exit(2);
}

long ToLong(const std::string& opt, const std::string& v, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end || errno || n < lo || n > hi) Usage("bad value for " + opt + ": '" + v + "'");
  return n;
}

std::uint32_t ToSpeed(const std::string& opt, const std::string& v) {
  const long n = ToLong(opt, v, 1, 4000000);
  if (BaudIndexOf(static_cast<std::uint32_t>(n)) < 0)
    Usage(opt + " must be one of 9600 19200 38400 57600 115200");
  return static_cast<std::uint32_t>(n);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i], v;
    bool hasInline = false;
    if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      v = a.substr(eq + 1);
      a = a.substr(0, eq);
      hasInline = true;
    }
    auto value = [&]() -> std::string {
      if (hasInline) return v;
      if (i + 1 >= argc) Usage("missing value for " + a);
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    } else if (a == "--version") {
      std::printf("scale-sim %.*s\n", int(ProjectVersion().size()), ProjectVersion().data());
      std::exit(0);
    } else if (a == "--udp-host") o.udpHost = value();
    else if (a == "--udp-port") o.udpPort = static_cast<int>(ToLong(a, value(), 0, 65535));
    else if (a == "--no-udp") o.udp = false;
    else if (a == "--pty") o.pty = true;
    else if (a == "--pty-link") { o.pty = true; o.ptyLink = value(); }
    else if (a == "--speed") o.speed = ToSpeed(a, value());
    else if (a == "--only-speed") o.onlySpeed = ToSpeed(a, value());
    else if (a == "--param-out") o.paramOut = value();
    else if (a == "--firmware-out") o.firmwareOut = value();
    else if (a == "--log") o.logPath = value();
    else if (a == "--silent") o.silent = true;
    else if (a == "--refuse") {
      const std::string s = value();
      Refusal r;
      const auto slash = s.find('/');
      if (slash == std::string::npos) Usage("--refuse wants CMD/ARG[:N], got '" + s + "'");
      const auto colon = s.find(':', slash);
      r.cmd = static_cast<int>(ToLong(a, s.substr(0, slash), 0, 255));
      r.arg = static_cast<int>(ToLong(a, s.substr(slash + 1, colon == std::string::npos ? std::string::npos : colon - slash - 1), 0, 65535));
      if (colon != std::string::npos) r.times = ToLong(a, s.substr(colon + 1), 0, 1L << 30);
      o.refusals.push_back(r);
    } else if (a == "--stop-ack-from-block") o.stopAckFromBlock = ToLong(a, value(), 0, 65535);
    else if (a == "--stop-ack-mode") {
      const std::string m = value();
      if (m != "refuse" && m != "silent") Usage("--stop-ack-mode is refuse or silent");
      o.stopAckSilent = m == "silent";
    } else if (a == "--bad-checksum") o.badChecksum = true;
    else if (a == "--delay") o.delayMs = static_cast<int>(ToLong(a, value(), 0, 600000));
    else if (a == "--answer-twice") o.answerTwice = true;
    else if (a == "--ignore-first") o.ignoreFirst = ToLong(a, value(), 0, 1L << 30);
    else if (a == "--late") {
      const std::string s = value();
      const auto colon = s.find(':');
      o.lateMs = static_cast<int>(ToLong(a, s.substr(0, colon), 0, 600000));
      if (colon != std::string::npos) o.lateEvery = ToLong(a, s.substr(colon + 1), 1, 1L << 30);
    } else if (a == "--verdict-twice") o.verdictAgainMs = static_cast<int>(ToLong(a, value(), 0, 600000));
    else if (a == "--xoff-hold") o.xoffHoldMs = static_cast<int>(ToLong(a, value(), 0, 600000));
    else if (a == "--xoff-every") o.xoffEvery = ToLong(a, value(), 1, 1L << 30);
    else if (a == "--late-trailer") o.lateTrailerMs = static_cast<int>(ToLong(a, value(), 0, 600000));
    else if (a == "--line-rate") o.lineRate = true;
    else Usage("unknown option '" + a + "'");
  }
  if (!o.udp && !o.pty) Usage("nothing to listen on (--no-udp without --pty)");
  return o;
}

using Clock = std::chrono::steady_clock;

// Time one byte takes on the line: start bit, 8 data bits, stop bit.
Clock::duration ByteTime(std::uint32_t bps) {
  return std::chrono::nanoseconds(10'000'000'000LL / std::max<std::uint32_t>(bps, 1));
}

struct Pending {
  Clock::time_point due;
  bool udp = true;
  sockaddr_in to{};
  std::vector<std::uint8_t> bytes;
  std::size_t sent = 0;    // serial: bytes already on the line
  Clock::duration gap{};   // quiet time after the previous part of the answer
  Clock::time_point Start(Clock::time_point lineFree) const { return std::max(due, lineFree + gap); }
  int switchToIndex = -1;  // serial speed switch once this answer went out
};

// A byte read from the pseudo-terminal: the tool's line speed when it came,
// and the moment its last bit is in.
struct RxByte {
  std::uint8_t value;
  std::uint32_t speed;
  Clock::time_point in;
};

class Sim {
 public:
  explicit Sim(Options o) : o_(std::move(o)), currentSpeed_(o_.speed) {}
  int Run();

 private:
  void OpenEndpoints();
  void OnUdp();
  void OnPty();
  void TakeBytes(Clock::time_point now);
  void OnFrame();
  // Decides the answer; `speed` is the serial line's speed (0 on UDP).
  void Handle(const std::uint8_t* pkt, bool udp, const sockaddr_in* from, std::uint32_t speed);
  void Queue(Pending p, Clock::duration after = {});
  void Flush(Clock::time_point now);
  void WriteLine(const std::uint8_t* bytes, std::size_t n);
  // The next moment the loop has something to do, if any.
  std::optional<Clock::time_point> NextWake() const;
  void Log(bool udp, const sockaddr_in* from, std::uint32_t speed, int cmd, int arg, const std::string& answer,
           const std::string& extra);
  void StoreParams(const std::uint8_t* payload);
  void FirmwareStart();
  void FirmwareBlock(int k, const std::uint8_t* payload);
  void FirmwareFinish();
  void Cleanup();
  std::uint32_t ScaleSpeed() const { return o_.onlySpeed ? o_.onlySpeed : currentSpeed_; }
  std::uint32_t ToolSpeed() const;

  Options o_;
  std::uint32_t currentSpeed_;
  int udpFd_ = -1, master_ = -1, slave_ = -1, sigFd_ = -1;
  int boundPort_ = 0;
  std::string slavePath_;
  bool linkMade_ = false;
  FILE* log_ = nullptr;
  int fwFd_ = -1;
  long requests_ = 0;
  long acks_ = 0;
  std::vector<std::uint8_t> frame_;
  bool inFrame_ = false;
  std::uint32_t frameSpeed_ = 0;  // 0 once the speed changed within the frame
  std::deque<RxByte> rx_;
  Clock::time_point rxFree_{};  // when the tool's line is next idle
  Clock::time_point txFree_{};  // when the scale's transmitter is next idle
  std::deque<Pending> pending_;
  std::array<std::uint8_t, kPayloadSize> lastParams_{};
};

// A pty has no speed of its own and keeps none per byte: what tells is the
// setting at the moment bytes cross it.
std::uint32_t Sim::ToolSpeed() const { return sim::LineSpeed(slave_); }

void Sim::OpenEndpoints() {
  if (!o_.logPath.empty()) {
    log_ = o_.logPath == "-" ? stderr : std::fopen(o_.logPath.c_str(), "a");
    if (!log_) Usage("cannot open log " + o_.logPath + ": " + std::strerror(errno));
  }
  if (o_.udp) {
    udpFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(o_.udpPort));
    if (inet_pton(AF_INET, o_.udpHost.c_str(), &sa.sin_addr) != 1) Usage("bad --udp-host '" + o_.udpHost + "'");
    if (udpFd_ < 0 || bind(udpFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
      Usage("cannot bind UDP " + o_.udpHost + ":" + std::to_string(o_.udpPort) + ": " + std::strerror(errno));
    socklen_t len = sizeof sa;
    getsockname(udpFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    boundPort_ = ntohs(sa.sin_port);
  }
  if (o_.pty) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) Usage(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    slavePath_ = ptsname(master_);
    // Holding the slave open keeps the master readable across the tool's
    // opens and closes, and lets us read the line speed the tool set.
    slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) Usage("cannot open " + slavePath_ + ": " + std::strerror(errno));
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    const speed_t sp = currentSpeed_ == 19200 ? B19200 : currentSpeed_ == 38400 ? B38400
                     : currentSpeed_ == 57600 ? B57600 : currentSpeed_ == 115200 ? B115200 : B9600;
    cfsetispeed(&t, sp);
    cfsetospeed(&t, sp);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (!o_.ptyLink.empty()) {
      struct stat st {};
      if (lstat(o_.ptyLink.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) Usage(o_.ptyLink + " exists and is not a symlink; not replacing it");
        unlink(o_.ptyLink.c_str());
      }
      if (symlink(slavePath_.c_str(), o_.ptyLink.c_str()) != 0)
        Usage("cannot link " + o_.ptyLink + ": " + std::strerror(errno));
      linkMade_ = true;
    }
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  sigFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);
}

void Sim::Cleanup() {
  if (linkMade_) unlink(o_.ptyLink.c_str());
  if (fwFd_ >= 0) close(fwFd_);
  if (log_ && log_ != stderr) std::fclose(log_);
  for (int fd : {udpFd_, master_, slave_, sigFd_})
    if (fd >= 0) close(fd);
}

std::string JsonEscape(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '"' || c == '\\') r += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    r += c;
  }
  return r;
}

void Sim::Log(bool udp, const sockaddr_in* from, std::uint32_t speed, int cmd, int arg, const std::string& answer,
              const std::string& extra) {
  if (!log_) return;
  const auto now = std::chrono::system_clock::now();
  const std::time_t tt = std::chrono::system_clock::to_time_t(now);
  const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char ts[40];
  std::strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string line = std::string("{\"time\":\"") + ts + "." + (ms < 100 ? ms < 10 ? "00" : "0" : "") + std::to_string(ms) + "\"";
  line += udp ? ",\"transport\":\"udp\"" : ",\"transport\":\"serial\"";
  if (udp && from) {
    char a[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from->sin_addr, a, sizeof a);
    line += std::string(",\"from\":\"") + a + ":" + std::to_string(ntohs(from->sin_port)) + "\"";
  }
  if (!udp) line += ",\"speed\":" + std::to_string(speed);
  line += cmd < 0 ? std::string(",\"cmd\":null,\"arg\":null") : ",\"cmd\":" + std::to_string(cmd) + ",\"arg\":" + std::to_string(arg);
  line += ",\"answer\":\"" + answer + "\"";
  if (!extra.empty()) line += ",\"note\":\"" + JsonEscape(extra) + "\"";
  line += "}\n";
  std::fputs(line.c_str(), log_);
  std::fflush(log_);
}

void Sim::StoreParams(const std::uint8_t* payload) {
  std::copy_n(payload, kPayloadSize, lastParams_.begin());
  if (o_.paramOut.empty()) return;
  // Replace the file as a whole so a reader never sees half a block.
  const std::string tmp = o_.paramOut + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return;
  const bool ok = std::fwrite(payload, 1, kPayloadSize, f) == kPayloadSize;
  if (std::fclose(f) == 0 && ok) std::rename(tmp.c_str(), o_.paramOut.c_str());
  else std::remove(tmp.c_str());
}

void Sim::FirmwareStart() {
  if (o_.firmwareOut.empty()) return;
  if (fwFd_ >= 0) close(fwFd_);
  fwFd_ = open(o_.firmwareOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void Sim::FirmwareBlock(int k, const std::uint8_t* payload) {
  if (o_.firmwareOut.empty()) return;
  if (fwFd_ < 0) fwFd_ = open(o_.firmwareOut.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fwFd_ >= 0) (void)!pwrite(fwFd_, payload, kPayloadSize, static_cast<off_t>(k) * 256);
}

void Sim::FirmwareFinish() {
  if (fwFd_ >= 0) close(fwFd_);
  fwFd_ = -1;
}

bool IdOk(const std::uint8_t* payload) {
  std::uint8_t want[4];
  IdToBcdLsbFirst(static_cast<std::uint32_t>(kAccessCode), want);
  return std::equal(want, want + 4, payload);
}

void Sim::Handle(const std::uint8_t* pkt, bool udp, const sockaddr_in* from, std::uint32_t speed) {
  ++requests_;
  const int cmd = pkt[0];
  const int arg = pkt[1] | (pkt[2] << 8);
  const std::uint8_t* payload = pkt + kPayloadOffset;
  auto none = [&](const std::string& why) { Log(udp, from, speed, cmd, arg, "none", why); };
  if (requests_ <= o_.ignoreFirst) return none("ignored");
  if (!udp) {
    if (speed == 0) return none("line speed changed within the frame");
    if (speed != ScaleSpeed())
      return none("line at " + std::to_string(speed) + ", scale at " + std::to_string(ScaleSpeed()));
  }
  if (o_.silent) return none("silent");
  if (!ChecksumOk(pkt)) return none("bad checksum");

  enum class Kind { Ack, Refuse, Data, Silent } kind = Kind::Refuse;
  std::string note;
  int switchTo = -1;
  bool refusedByOption = false;
  for (auto& r : o_.refusals) {
    if (r.cmd == cmd && r.arg == arg && (r.times < 0 || r.used < r.times)) {
      ++r.used;
      refusedByOption = true;
      note = "refused by option";
      break;
    }
  }
  using pbus::kCmdSession, pbus::kArgLogOn, pbus::kArgLogOff, pbus::kArgRead, pbus::kArgUpgradeEntry,
      pbus::kCmdUpgrade, pbus::kArgStartUpgrade, pbus::kArgFinishUpgrade, pbus::kFirstImageBlock,
      pbus::kCmdParamBlock, pbus::kArgParamBlock, pbus::kUpgradeEntryMode, pbus::kXoff, pbus::kXon;
  Buffer answer{};
  if (!refusedByOption) {
    if (cmd == kCmdSession && arg == kArgLogOn) {
      const int idx = payload[10];
      if (!IdOk(payload)) note = "wrong access code";
      else if (idx >= static_cast<int>(kBaudTable.size())) note = "bad speed index";
      else {
        kind = Kind::Ack;
        char dt[80];
        std::snprintf(dt, sizeof dt, "log-on 20%02X-%02X-%02X %02X:%02X:%02X speed index %d", payload[4], payload[5],
                      payload[6], payload[7], payload[8], payload[9], idx);
        note = dt;
        if (!udp && !o_.onlySpeed) switchTo = idx;
      }
    } else if (cmd == kCmdSession && arg == kArgLogOff) {
      kind = IdOk(payload) ? Kind::Ack : Kind::Refuse;
      if (kind == Kind::Refuse) note = "wrong access code";
    } else if (cmd == kCmdSession && arg == kArgRead) {
      kind = Kind::Data;
      BuildPacket(answer, kCmdSession, kArgRead, lastParams_);
    } else if (cmd == kCmdSession && arg == kArgUpgradeEntry) {
      if (payload[0] == 0x17 && payload[1] == 0x48 && payload[2] == kUpgradeEntryMode) {
        kind = Kind::Data;
        BuildPacket(answer, kCmdSession, kArgUpgradeEntry, std::span<const std::uint8_t>(payload, 3));
      } else {
        note = "wrong access code";
      }
    } else if (cmd == kCmdUpgrade && arg == kArgStartUpgrade) {
      kind = Kind::Ack;
      FirmwareStart();
    } else if (cmd == kCmdUpgrade && arg == kArgFinishUpgrade) {
      kind = Kind::Ack;
      FirmwareFinish();
      note = "verification word " + std::to_string(payload[0] | (payload[1] << 8));
    } else if (cmd == kCmdUpgrade && arg >= kFirstImageBlock) {
      if (o_.stopAckFromBlock >= 0 && arg >= o_.stopAckFromBlock) {
        kind = o_.stopAckSilent ? Kind::Silent : Kind::Refuse;
        note = "stopped acknowledging blocks";
      } else {
        kind = Kind::Ack;
        FirmwareBlock(arg, payload);
      }
    } else if (cmd == kCmdParamBlock && arg == kArgParamBlock) {
      kind = Kind::Ack;
      StoreParams(payload);
    } else {
      note = "unknown request";
    }
  }

  Pending p;
  auto delay = std::chrono::milliseconds(o_.delayMs);
  if (o_.lateMs > 0 && requests_ % o_.lateEvery == 0) delay += std::chrono::milliseconds(o_.lateMs);
  p.due = Clock::now() + delay;
  p.udp = udp;
  if (from) p.to = *from;
  std::string what;
  std::optional<Pending> trailer, xon;
  switch (kind) {
    case Kind::Silent: return none(note);
    case Kind::Ack: p.bytes = {kVerdictAck}; what = "ack"; break;
    case Kind::Refuse: p.bytes = {kVerdictRefused}; what = "refused"; break;
    case Kind::Data: {
      if (o_.badChecksum) answer[kChecksumOffset] ^= 0x01;
      what = "data";
      if (udp) {
        p.bytes.assign(answer.begin(), answer.begin() + kPacketSize);
      } else {
        p.bytes.resize(kFrameSize);
        EncodeFrame(answer.data(), p.bytes.data());
        p.bytes[kFrameSize - 1] = kFrameTrailer;
        if (o_.lateTrailerMs >= 0) {
          p.bytes.pop_back();
          trailer = Pending{};
          trailer->udp = false;
          trailer->bytes = {kFrameTrailer};
          note += "trailer " + std::to_string(o_.lateTrailerMs) + " ms late";
        }
      }
      break;
    }
  }
  // A flash erase, say: the scale holds the tool's line once it has said yes.
  if (!udp && kind == Kind::Ack && o_.xoffHoldMs >= 0 && ++acks_ % o_.xoffEvery == 0) {
    p.bytes.push_back(kXoff);
    xon = Pending{};
    xon->udp = false;
    xon->bytes = {kXon};
    note += std::string(note.empty() ? "" : "; ") + "XOFF for " + std::to_string(o_.xoffHoldMs) + " ms";
  }
  Log(udp, from, speed, cmd, arg, what, note);
  // The speed switch follows the last copy of the log-on's verdict.
  const bool again = kind != Kind::Data && o_.verdictAgainMs >= 0;
  if (o_.answerTwice) {
    Pending first = p;
    if (trailer) first.bytes.push_back(kFrameTrailer);
    Queue(std::move(first));
  }
  if (again) Queue(p);
  p.switchToIndex = switchTo;
  if (again) {
    p.bytes.resize(1);  // the repeat carries the verdict alone
    Queue(std::move(p), std::chrono::milliseconds(o_.verdictAgainMs));
  } else {
    Queue(std::move(p));
  }
  if (trailer) Queue(std::move(*trailer), std::chrono::milliseconds(o_.lateTrailerMs));
  if (xon) Queue(std::move(*xon), std::chrono::milliseconds(o_.xoffHoldMs));
  Flush(Clock::now());
}

// `after` is the quiet time between the previous part and this one, counted
// from the moment the previous part has gone out.
void Sim::Queue(Pending p, Clock::duration after) {
  if (!pending_.empty()) p.due = std::max(p.due, pending_.back().due);
  p.gap = after;
  pending_.push_back(std::move(p));
}

// Bytes reach the tool only while its line runs at the scale's speed; at any
// other speed a real receiver sees framing errors, so they are lost here.
void Sim::WriteLine(const std::uint8_t* bytes, std::size_t n) {
  if (ToolSpeed() != ScaleSpeed()) return;
  std::size_t off = 0;
  while (off < n) {
    const ssize_t w = write(master_, bytes + off, n - off);
    if (w > 0) { off += static_cast<std::size_t>(w); continue; }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) { pollfd wp{master_, POLLOUT, 0}; poll(&wp, 1, 50); continue; }
    break;
  }
}

void Sim::Flush(Clock::time_point now) {
  // Answers leave in the order they were decided, each not before its time.
  while (!pending_.empty() && pending_.front().Start(txFree_) <= now) {
    Pending& p = pending_.front();
    if (p.udp) {
      sendto(udpFd_, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<sockaddr*>(&p.to), sizeof p.to);
      txFree_ = now;
    } else if (!o_.lineRate) {
      WriteLine(p.bytes.data(), p.bytes.size());
      txFree_ = now;
    } else {
      // A byte is handed over when its stop bit has gone out.
      const auto bt = ByteTime(ScaleSpeed());
      const auto start = p.Start(txFree_);
      const auto ready = static_cast<std::size_t>((now - start) / bt);
      const std::size_t n = std::min(ready, p.bytes.size() - p.sent);
      if (n > 0) {
        WriteLine(p.bytes.data() + p.sent, n);
        p.sent += n;
        txFree_ = start + bt * static_cast<long>(n);
        p.gap = {};  // the rest follows without a pause
        p.due = txFree_;
      }
      if (p.sent < p.bytes.size()) return;
    }
    if (p.switchToIndex >= 0) currentSpeed_ = kBaudTable[static_cast<std::size_t>(p.switchToIndex)];
    pending_.pop_front();
  }
}

std::optional<Clock::time_point> Sim::NextWake() const {
  std::optional<Clock::time_point> t;
  if (!pending_.empty()) {
    const Pending& p = pending_.front();
    t = p.Start(txFree_);
    if (!p.udp && o_.lineRate) *t += ByteTime(ScaleSpeed());
  }
  if (!rx_.empty() && (!t || rx_.front().in < *t)) t = rx_.front().in;
  return t;
}

void Sim::OnUdp() {
  for (;;) {
    std::uint8_t buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(udpFd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) != kPacketSize) {
      ++requests_;
      Log(true, &from, 0, n >= 3 ? buf[0] : -1, n >= 3 ? (buf[1] | buf[2] << 8) : 0, "none",
          "datagram of " + std::to_string(n) + " bytes");
      continue;
    }
    Handle(buf, true, &from, 0);
  }
}

void Sim::OnFrame() {
  Buffer pkt{};
  DecodeFrame(frame_.data(), pkt.data());  // the checksum is judged in Handle
  if (frame_[kFrameNeeded - 1] != kFrameEnd) {
    ++requests_;
    Log(false, nullptr, frameSpeed_, -1, 0, "none", "frame without end marker");
    return;
  }
  Handle(pkt.data(), false, nullptr, frameSpeed_);
}

// Reads at once what the tool wrote, noting the line speed it was written at
// (the pty keeps no speed per byte, so the sooner the better).
void Sim::OnPty() {
  for (;;) {
    std::uint8_t buf[4096];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return;
    const auto now = Clock::now();
    const std::uint32_t speed = ToolSpeed();
    const auto bt = ByteTime(speed ? speed : ScaleSpeed());
    for (ssize_t i = 0; i < n; ++i) {
      Clock::time_point in = now;
      if (o_.lineRate) in = rxFree_ = std::max(now, rxFree_) + bt;
      rx_.push_back({buf[i], speed, in});
    }
  }
}

// Bytes whose line time is over are the scale's to see.
void Sim::TakeBytes(Clock::time_point now) {
  while (!rx_.empty() && rx_.front().in <= now) {
    const RxByte b = rx_.front();
    rx_.pop_front();
    if (b.value == kFrameStart) {
      frame_.assign(1, b.value);
      inFrame_ = true;
      frameSpeed_ = b.speed;
      continue;
    }
    if (!inFrame_) continue;  // trailer, flow-control characters, noise
    frame_.push_back(b.value);
    if (b.speed != frameSpeed_) frameSpeed_ = 0;
    if (frame_.size() == kFrameNeeded) {
      inFrame_ = false;
      OnFrame();
    }
  }
}

int Sim::Run() {
  OpenEndpoints();
  std::string ready = "ready";
  if (o_.udp) ready += " udp=" + o_.udpHost + ":" + std::to_string(boundPort_);
  if (o_.pty) ready += " pty=" + slavePath_;
  std::printf("%s\n", ready.c_str());
  std::fflush(stdout);
  for (;;) {
    pollfd fds[3];
    nfds_t nfds = 0;
    fds[nfds++] = {sigFd_, POLLIN, 0};
    const int udpAt = udpFd_ >= 0 ? static_cast<int>(nfds) : -1;
    if (udpFd_ >= 0) fds[nfds++] = {udpFd_, POLLIN, 0};
    const int ptyAt = master_ >= 0 ? static_cast<int>(nfds) : -1;
    if (master_ >= 0) fds[nfds++] = {master_, POLLIN, 0};
    timespec ts{};
    const timespec* timeout = nullptr;
    if (const auto wake = NextWake()) {
      const auto left = std::max<Clock::duration>(Clock::duration{}, *wake - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      timeout = &ts;
    }
    const int rc = ppoll(fds, nfds, timeout, nullptr);
    if (rc < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) break;
    if (udpAt >= 0 && (fds[udpAt].revents & POLLIN)) OnUdp();
    if (ptyAt >= 0 && (fds[ptyAt].revents & POLLIN)) OnPty();
    const auto now = Clock::now();
    TakeBytes(now);
    Flush(now);
  }
  Cleanup();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Sim sim(Parse(argc, argv));
  return sim.Run();
}

#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "platform/version.h"
#include "protocol/pbus_commands.h"

namespace facset::sim {

namespace {

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

int Ms(const std::string& opt, const std::string& v) { return static_cast<int>(ToLong(opt, v, 0, 600000)); }

std::uint32_t ToSpeed(const std::string& opt, const std::string& v) {
  const long n = ToLong(opt, v, 1, 4000000);
  if (pbus::BaudIndexOf(static_cast<std::uint32_t>(n)) < 0)
    Usage(opt + " must be one of 9600 19200 38400 57600 115200");
  return static_cast<std::uint32_t>(n);
}

Refusal ToRefusal(const std::string& opt, const std::string& s) {
  Refusal r;
  const auto slash = s.find('/');
  if (slash == std::string::npos) Usage(opt + " wants CMD/ARG[:N], got '" + s + "'");
  const auto colon = s.find(':', slash);
  r.cmd = static_cast<int>(ToLong(opt, s.substr(0, slash), 0, 255));
  r.arg = static_cast<int>(
      ToLong(opt, s.substr(slash + 1, colon == std::string::npos ? std::string::npos : colon - slash - 1), 0, 65535));
  if (colon != std::string::npos) r.times = ToLong(opt, s.substr(colon + 1), 0, 1L << 30);
  return r;
}

using Apply = std::function<void(Options&, const std::string& opt, const std::string& value)>;

struct Row {
  const char* section;  // the --help heading it is listed under
  const char* name;     // "--delay"
  const char* value;    // "MS", or nullptr for a flag
  const char* help;     // wrapped to 80 columns by HelpText
  Apply apply;
};

const std::vector<Row>& Table() {
  static const std::vector<Row> rows = {
      {"Endpoints", "--udp-host", "ADDR", "UDP address to listen on (default 127.0.0.1)",
       [](Options& o, auto&, auto& v) { o.udpHost = v; }},
      {"Endpoints", "--udp-port", "PORT", "UDP port (default 5001; 0 picks a free port)",
       [](Options& o, auto& n, auto& v) { o.udpPort = static_cast<int>(ToLong(n, v, 0, 65535)); }},
      {"Endpoints", "--no-udp", nullptr, "no UDP endpoint", [](Options& o, auto&, auto&) { o.udp = false; }},
      {"Endpoints", "--pty", nullptr, "create a pseudo-terminal (serial side)",
       [](Options& o, auto&, auto&) { o.pty = true; }},
      {"Endpoints", "--pty-link", "PATH", "create a pseudo-terminal and a symlink PATH to its slave",
       [](Options& o, auto&, auto& v) {
         o.pty = true;
         o.ptyLink = v;
       }},
      {"Endpoints", "--speed", "BPS", "serial speed the scale starts at (default 9600)",
       [](Options& o, auto& n, auto& v) { o.speed = ToSpeed(n, v); }},
      {"Endpoints", "--only-speed", "BPS", "answer on the serial side only at BPS, and never switch",
       [](Options& o, auto& n, auto& v) { o.onlySpeed = ToSpeed(n, v); }},
      {"Endpoints", "--line-rate", nullptr,
       "serial bytes take their line time in both directions: 10 bits per byte at the current speed",
       [](Options& o, auto&, auto&) { o.lineRate = true; }},
      {"Storage", "--param-out", "FILE", "write the last parameter block (80/0), 256 bytes",
       [](Options& o, auto&, auto& v) { o.paramOut = v; }},
      {"Storage", "--firmware-out", "FILE",
       "write the firmware image: block k (15/k) at offset k*256; started empty by 15/0, bytes before block 32 "
       "stay zero",
       [](Options& o, auto&, auto& v) { o.firmwareOut = v; }},
      {"Storage", "--log", "FILE", "one JSON line per request received ('-' for stderr); started anew",
       [](Options& o, auto&, auto& v) { o.logPath = v; }},
      {"Faults", "--silent", nullptr, "never answer", [](Options& o, auto&, auto&) { o.silent = true; }},
      {"Faults", "--refuse", "CMD/ARG[:N]", "refuse CMD/ARG always, or the first N times (repeatable)",
       [](Options& o, auto& n, auto& v) { o.refusals.push_back(ToRefusal(n, v)); }},
      {"Faults", "--stop-ack-from-block", "K", "stop acknowledging firmware blocks from block K on",
       [](Options& o, auto& n, auto& v) { o.stopAckFromBlock = ToLong(n, v, 0, 65535); }},
      {"Faults", "--stop-ack-mode", "MODE", "how: refuse (default) or silent",
       [](Options& o, auto&, auto& v) {
         if (v != "refuse" && v != "silent") Usage("--stop-ack-mode is refuse or silent");
         o.stopAckSilent = v == "silent";
       }},
      {"Faults", "--bad-checksum", nullptr, "data answers carry a wrong checksum",
       [](Options& o, auto&, auto&) { o.badChecksum = true; }},
      {"Faults", "--delay", "MS", "answer MS milliseconds after the request",
       [](Options& o, auto& n, auto& v) { o.delayMs = Ms(n, v); }},
      {"Faults", "--late", "MS[:N]", "answer MS milliseconds late: every request, or every N-th (added to --delay)",
       [](Options& o, auto& n, auto& v) {
         const auto colon = v.find(':');
         o.lateMs = Ms(n, v.substr(0, colon));
         if (colon != std::string::npos) o.lateEvery = ToLong(n, v.substr(colon + 1), 1, 1L << 30);
       }},
      {"Faults", "--answer-twice", nullptr, "send every answer twice",
       [](Options& o, auto&, auto&) { o.answerTwice = true; }},
      {"Faults", "--verdict-twice", "MS", "send every verdict again, MS milliseconds after it",
       [](Options& o, auto& n, auto& v) { o.verdictAgainMs = Ms(n, v); }},
      {"Faults", "--xoff-hold", "MS",
       "serial: after an acknowledgement send XOFF, and XON MS milliseconds later",
       [](Options& o, auto& n, auto& v) { o.xoffHoldMs = Ms(n, v); }},
      {"Faults", "--xoff-every", "N", "hold only after every N-th acknowledgement (default 1)",
       [](Options& o, auto& n, auto& v) { o.xoffEvery = ToLong(n, v, 1, 1L << 30); }},
      {"Faults", "--late-trailer", "MS", "serial: a data frame's 0xFF trailer follows MS ms late",
       [](Options& o, auto& n, auto& v) { o.lateTrailerMs = Ms(n, v); }},
      {"Faults", "--byte-gap", "MS", "serial: data answers go out one byte every MS milliseconds",
       [](Options& o, auto& n, auto& v) { o.byteGapMs = Ms(n, v); }},
      {"Faults", "--ack-after-refusal", "MS", "send a 0x02 MS milliseconds after every refusal",
       [](Options& o, auto& n, auto& v) { o.ackAfterRefusalMs = Ms(n, v); }},
      {"Faults", "--hangup-after", "N", "serial: hang the line up 100 ms after answering N requests",
       [](Options& o, auto& n, auto& v) { o.hangupAfter = ToLong(n, v, 0, 1L << 30); }},
      {"Faults", "--foreign-ack", "MS",
       "UDP: a 0x02 from another port (see --foreign-host) MS milliseconds after every request",
       [](Options& o, auto& n, auto& v) { o.foreignAckMs = Ms(n, v); }},
      {"Faults", "--foreign-host", "ADDR", "the address --foreign-ack sends from (default: --udp-host)",
       [](Options& o, auto&, auto& v) { o.foreignHost = v; }},
      {"Faults", "--junk", "SIZE",
       "UDP: before every answer a datagram of SIZE bytes (0..1500) starting with 0x02 (repeatable)",
       [](Options& o, auto& n, auto& v) { o.junkSizes.push_back(ToLong(n, v, 0, 1500)); }},
      {"Faults", "--ignore-first", "N", "ignore the first N requests received (any transport or speed)",
       [](Options& o, auto& n, auto& v) { o.ignoreFirst = ToLong(n, v, 0, 1L << 30); }},
      {"", "--help", nullptr, "this text", {}},
      {"", "--version", nullptr, "the version of this program", {}},
  };
  return rows;
}

constexpr std::size_t kWidth = 80;
constexpr std::size_t kHelpColumn = 25;

// Appends `text` wrapped to the page, every line indented to the help column.
void Wrap(std::string& out, const std::string& text, std::size_t column) {
  std::size_t at = column;
  bool first = true;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = text.find(' ', i);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(i, end - i);
    if (!first && at + 1 + word.size() > kWidth) {
      out += "\n" + std::string(kHelpColumn, ' ');
      at = kHelpColumn;
      first = true;
    }
    if (!first) {
      out += ' ';
      ++at;
    }
    out += word;
    at += word.size();
    first = false;
    i = end + 1;
  }
  out += '\n';
}

}  // namespace

std::string HelpText() {
  std::string out =
      "Usage: scale-sim [options]\n"
      "Plays a label scale over UDP and/or a pseudo-terminal (both at once if asked).\n";
  std::string section = "-";
  for (const Row& r : Table()) {
    if (section != r.section) {
      section = r.section;
      out += "\n";
      if (!section.empty()) out += section + ":\n";
    }
    std::string head = std::string("  ") + r.name + (r.value ? std::string(" ") + r.value : "");
    if (head.size() + 2 > kHelpColumn) {
      out += head + "\n" + std::string(kHelpColumn, ' ');
    } else {
      out += head + std::string(kHelpColumn - head.size(), ' ');
    }
    Wrap(out, r.help, kHelpColumn);
  }
  out +=
      "\n"
      "Answers: verdict 0x02/0x55; 14/3 and 14/16 get a data packet (14/3 carries the\n"
      "last parameter block, 14/16 echoes its request). The log-on (14/1), log-off\n"
      "(14/2) and upgrade entry (14/16) must carry the access code 4817. After\n"
      "acknowledging a serial log-on the scale switches to the speed index of\n"
      "payload byte 10. On the serial side a request counts, and an answer arrives,\n"
      "only while the tool's line is at the scale's speed: bytes sent at another\n"
      "speed are lost, as on a real line. Output files are replaced, never written\n"
      "through a link planted at their name. On start-up it prints one line and\n"
      "flushes it:\n"
      "  ready udp=ADDR:PORT pty=/dev/pts/N\n"
      "(each part only when that endpoint exists). SIGINT/SIGTERM end it cleanly.\n";
  return out;
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
    if (a == "--help" || a == "-h") {
      std::fputs(HelpText().c_str(), stdout);
      std::exit(0);
    }
    if (a == "--version") {
      const auto version = ProjectVersion();
      std::printf("scale-sim %.*s\n", static_cast<int>(version.size()), version.data());
      std::exit(0);
    }
    const Row* row = nullptr;
    for (const Row& r : Table())
      if (a == r.name && r.apply) row = &r;
    if (!row) Usage("unknown option '" + a + "'");
    if (row->value && !hasInline) {
      if (i + 1 >= argc) Usage("missing value for " + a);
      v = argv[++i];
    }
    row->apply(o, a, v);
  }
  if (!o.udp && !o.pty) Usage("nothing to listen on (--no-udp without --pty)");
  return o;
}

}  // namespace facset::sim

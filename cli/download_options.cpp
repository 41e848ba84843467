#include "download_options.h"

#include "download/serial_names.h"
#include "set_values.h"
#include "protocol/pbus_codec.h"

namespace facset::cli {
namespace {

constexpr int kMaxRetries = 10;
constexpr int kMaxTimeoutMs = 60000;

constexpr OptionSpec kTable[] = {
    {kOptIp, "ADDR", "over UDP to ADDR, a dotted IPv4 address (port 5001)", true},
    {kOptCom, "NAME",
     "over a serial port: a list name such as COM1 (resolved as\n"
     "in the window: section \"serial\" of facconfig.ini in\n"
     "the tool's folder, e.g. COM1=/dev/ttyUSB0, else COMn is\n"
     "/dev/ttyS(n-1)) or a device path starting with /",
     true},
    {kOptTargets, "FILE", "more targets, one a line (several scales: see below)", true},
    {kOptJobs, "N", "several scales: at most N downloads at once (default 32)"},
    {"--firmware", "PATH", "also upgrade the firmware with the image PATH"},
    {"--no-firmware", "", "no firmware upgrade, whatever FILE says"},
    {"--speed", "BPS", "serial speed after the log-on: 9600 (default), 19200,\n38400, 57600 or 115200"},
    {"--retries", "N",
     "repeats of an unanswered request, 0 to 10 (default 6);\n"
     "the serial log-on always makes its ten transmissions (two\n"
     "at each speed), whatever N is"},
    {"--timeout", "MS", "wait for each answer, 1 to 60000 ms (default 800)"},
    {"--any-sender", "",
     "over UDP, take answers from any address and port (a scale\n"
     "known to answer from another address); by default only the\n"
     "scale's address and port count, others are ignored and\n"
     "counted in the log"},
    {"--strict", "",
     "refuse FILE (exit 6) when a byte key holds a value outside\n"
     "0..255 (300, 12abc); by default a warning line names it\n"
     "and the byte sent (its low 8 bits; not a number: 0)"},
    {kOptSet, "NAME=VALUE",
     "this run's block only: NAME gets VALUE (FILE is never\n"
     "written); VALUE may be seq:START[:STEP] or counter:COUNTER\n"
     "(see below)",
     true},
    {kOptJson, "", "print one JSON document at the end instead of the log"},
    {"--gbk", "", "print the messages as GBK bytes instead of UTF-8"},
};

std::optional<int> ToInt(const std::string& text, int lo, int hi) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return {};
  const int v = std::stoi(text);
  if (v < lo || v > hi) return {};
  return v;
}

}  // namespace

const OptionTable kDownloadOptions = kTable;

std::string ReadDownloadOptions(const ParsedArgs& p, DownloadOptions& o) {
  if (p.positionals.size() != 1) return p.positionals.empty() ? "missing FILE" : "too many arguments";
  o.file = p.positionals[0];
  const auto ips = p.Values(kOptIp);
  const auto coms = p.Values(kOptCom);
  if (ips.size() + coms.size() > 1) {
    return ips.size() > 1 || coms.size() > 1 ? "one target at a time here" : "--ip and --com exclude each other";
  }
  if (!ips.empty()) o.ip = ips[0];
  if (!coms.empty()) o.com = coms[0];
  o.firmware = p.Value("--firmware");
  o.noFirmware = p.Has("--no-firmware");
  o.gbk = p.Has("--gbk");
  o.json = p.Has(kOptJson);
  o.anySender = p.Has("--any-sender");
  o.strict = p.Has("--strict");
  if (o.firmware && o.noFirmware) return "--firmware and --no-firmware exclude each other";
  if (o.ip && o.ip->empty()) return "--ip needs an address";
  if (o.firmware && o.firmware->empty()) return "--firmware needs a path";
  if (o.com && o.com->empty()) return "--com needs a port name";
  if (o.com && (*o.com)[0] != '/' && ComNumber(*o.com) == 0 && *o.com != "NONE") {
    return "--com takes a list name such as COM1 or a device path starting with /";
  }
  o.sets = p.Values(kOptSet);
  for (const std::string& s : o.sets) {
    GivenValue g;
    if (std::string why = ParseSetArgument(s, g); !why.empty()) return why;
  }
  if (const auto speed = p.Value("--speed")) {
    const auto bps = ToInt(*speed, 1, 1000000);
    const int index = bps ? BaudIndexOf(static_cast<std::uint32_t>(*bps)) : -1;
    if (index < 0) return "--speed is one of 9600, 19200, 38400, 57600, 115200";
    o.speedIndex = index;
  }
  if (const auto retries = p.Value("--retries")) {
    o.retries = ToInt(*retries, 0, kMaxRetries);
    if (!o.retries) return "--retries is a number from 0 to 10";
  }
  if (const auto timeout = p.Value("--timeout")) {
    o.timeoutMs = ToInt(*timeout, 1, kMaxTimeoutMs);
    if (!o.timeoutMs) return "--timeout is a number of milliseconds from 1 to 60000";
  }
  return {};
}

}  // namespace facset::cli

#pragma once
// What one download is asked to do, as a front end (the window, facset-cli)
// builds it: nothing in it refers to widgets or options.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "params/param_math.h"
#include "protocol/scale_link.h"

namespace facset {

// A scale on a serial line.
struct SerialTarget {
  std::string listName;  // as the log names it: "COM1", or the device path as given
  std::string device;    // the device the name stands for: "/dev/ttyUSB0"
};

// A scale on the network.
struct UdpTarget {
  std::string address;  // dotted IPv4
  int port = kScaleUdpPort;
};

using DownloadTarget = std::variant<SerialTarget, UdpTarget>;

inline bool IsSerial(const DownloadTarget& t) { return std::holds_alternative<SerialTarget>(t); }
// "serial" or "udp", as the records and --json name the transport.
const char* TransportName(const DownloadTarget& t);
// What follows " connect ..." in the log: the list name or the address.
std::string TargetLogName(const DownloadTarget& t);
// The target as recorded: the address; over a serial line the list name and
// the device ("COM1 /dev/ttyUSB0"), or the device alone when it was named as one.
std::string TargetRecordText(const DownloadTarget& t);

// One value set for this run only, on top of the parameter file's block (the
// block below already holds it); kept so that the record can list it.
struct ValueSet {
  std::string name;    // as the operator named it: a caption, byte[N] or a fixed field's name
  std::string value;   // what the scale gets, as text
  std::string origin;  // "seq:1:1", "counter:scale"; "" for a value given as it is

  bool operator==(const ValueSet&) const = default;
};

struct DownloadRequest {
  DownloadTarget target = UdpTarget{};
  // The block to send; byte 0 goes out as 0xA6 whatever it holds.
  ParamBlock block{};
  // The firmware image to send after the block, by its file-system name (bytes,
  // not necessarily UTF-8); none: no upgrade.
  std::optional<std::string> firmware;
  // Serial speed index (0..4: 9600 .. 115200) asked for in the log-on and used
  // after it.
  int speedIndex = 0;
  // Repeats of an unanswered request and the wait for each answer; the
  // engine's own when not given.
  std::optional<int> retries;
  std::optional<int> timeoutMs;
  // Take answers from any sender, not only from the scale's address and port.
  bool acceptForeignSender = false;
  std::vector<ValueSet> valuesSet;
};

}  // namespace facset

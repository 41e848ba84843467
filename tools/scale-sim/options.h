#pragma once
// scale-sim's options: one table, each option (and each fault) one row that
// drives both the parsing and --help.

#include <cstdint>
#include <string>
#include <vector>

namespace facset::sim {

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
  int verdictAgainMs = -1;   // -1: off
  int xoffHoldMs = -1;       // -1: off
  long xoffEvery = 1;
  int lateTrailerMs = -1;    // -1: off
  bool lineRate = false;
  int foreignAckMs = -1;     // -1: off
  std::string foreignHost;   // empty: the --udp-host address
  std::vector<long> junkSizes;
  int ackAfterRefusalMs = -1;  // -1: off
  long hangupAfter = -1;       // -1: off
  int byteGapMs = -1;          // -1: off
};

// Parses argv; prints --help or --version and exits 0, or a message and
// exits 2 on a bad option.
Options Parse(int argc, char** argv);
// The --help text, 80 columns.
std::string HelpText();

}  // namespace facset::sim

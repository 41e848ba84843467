#pragma once
// The link functions the download uses, over the program's single protocol
// engine ScaleComm. Results: 0 success, -1 refused or unanswered (also: the
// engine is busy with another request), -3 an error during the open.

#include <cstdint>
#include <string>

#include "protocol/pbus.h"

namespace facset {

// The program's engine; null before CreateScaleComm and after DestroyScaleComm.
extern TPBusComm* ScaleComm;

// Module start-up: creates ScaleComm (once; later calls keep the existing one)
// and has it show "Send exception" through AppDialogs when the UDP transport
// fails.
void CreateScaleComm();
// Module shut-down: aborts any wait and frees ScaleComm. Called while a
// request still waits (from one of its event handlers), the engine is only
// aborted and left to the process's end, since the waiting frame still uses it.
void DestroyScaleComm();

// The scale's UDP port.
inline constexpr int kScaleUdpPort = 5001;
// Port LinkOpenUdp and LinkCloseUdp use: kScaleUdpPort unless overridden.
int LinkUdpPort();
// For tests and the simulator: make the UDP link functions use `port`
// (0 restores 5001).
void OverrideLinkUdpPort(int port);

// Opens the serial port at `devicePath` (e.g. "/dev/ttyUSB0") and logs on,
// searching the scale's speed; the port then runs at `baudIndex` (0..4).
int LinkOpenSerial(const std::string& devicePath, std::uint8_t baudIndex);
int LinkOpenUdp(const std::string& host);

// The outcome of an open with, for -3, why (e.g. "Error opening serial port:
// Permission denied"). The log line stays " connect err "; the reason is for
// the command line's stderr.
struct LinkOpenResult {
  int code = -1;
  std::string reason;
};
LinkOpenResult OpenSerialLink(const std::string& devicePath, std::uint8_t baudIndex);
LinkOpenResult OpenUdpLink(const std::string& host);
// The same over a given engine (a test's, over a scripted transport); the
// UDP functions then name their port.
LinkOpenResult OpenSerialLink(TPBusComm& engine, const std::string& devicePath, std::uint8_t baudIndex);
LinkOpenResult OpenUdpLink(TPBusComm& engine, const std::string& host, int port);
int LinkWriteBlock(TPBusComm& engine, std::uint8_t command, std::uint8_t addrLow, std::uint8_t addrHigh,
                   const std::uint8_t* data, int length);
int LinkCloseSerial(TPBusComm& engine);
int LinkCloseUdp(TPBusComm& engine, const std::string& host, int port);
// Lets go of the link without a request (after an abort): a serial port is closed.
void LinkRelease(TPBusComm& engine, bool serial);

// Sends min(length, 256) bytes (rest zero) with argument high * 256 + low.
// Errors of the UDP transport pass through.
int LinkWriteBlock(std::uint8_t command, std::uint8_t addrLow, std::uint8_t addrHigh, const std::uint8_t* data,
                   int length);
// Reading request 14/3, then, if answered, the log-off; closes the port and
// writes the empty "DEBUG.LOG" either way.
int LinkCloseSerial();
int LinkCloseUdp(const std::string& host);

}  // namespace facset

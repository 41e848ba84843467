#pragma once
// The link functions the download uses, over the program's single protocol
// engine ScaleComm. Results: 0 success, -1 refused or unanswered (also: the
// engine is busy with another request), -3 an error during the open.
// ScaleComm->LastOutcome() tells how the last request ended, and
// ScaleComm->ReviewLink(), after the close, whether each request of the link
// stays proven.

#include <cstdint>
#include <memory>
#include <string>

#include "protocol/pbus.h"
#include "protocol/pbus_commands.h"

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
inline constexpr int kScaleUdpPort = pbus::kScaleUdpPort;
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
struct UdpLinkOptions {
  // Take answers from any sender (a scale known to answer from another
  // address); by default only the scale's address and port count.
  bool anySender = false;
};
LinkOpenResult OpenUdpLink(const std::string& host, const UdpLinkOptions& options = {});
// Opens any transport (the tests' scripted line) and logs on; the serial
// speed index applies to a stream transport.
LinkOpenResult OpenLink(std::unique_ptr<PBusTransport> link, std::uint8_t baudIndex);

// Sends min(length, 256) bytes (rest zero) with argument high * 256 + low.
// Errors of the UDP transport pass through.
int LinkWriteBlock(std::uint8_t command, std::uint8_t addrLow, std::uint8_t addrHigh, const std::uint8_t* data,
                   int length);
// Reading request 14/3, then, if answered, the log-off; closes the link
// either way (a serial one writes the empty "DEBUG.LOG").
int LinkCloseSerial();
int LinkCloseUdp(const std::string& host);
// The same for whatever link is open.
int CloseLink();

}  // namespace facset

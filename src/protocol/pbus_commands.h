#pragma once
// The one home of the protocol's numbers and of the firmware arithmetic: the
// command numbers, arguments and answer bytes, the block size and the image
// block range, the parameter block's marker, the serial speeds and the UDP
// port. The engine, the download, the records, the CLI and scale-sim all take
// them from here, so that both sides of the line name each request the same.

#include <array>
#include <cstddef>
#include <cstdint>

namespace facset::pbus {

// Command 14: session and reading requests.
inline constexpr std::uint8_t kCmdSession = 14;
inline constexpr std::uint16_t kArgLogOn = 1;         // Connect, acknowledged
inline constexpr std::uint16_t kArgLogOff = 2;        // Disconnect, acknowledged
inline constexpr std::uint16_t kArgRead = 3;          // data answer; sent before the log-off
inline constexpr std::uint16_t kArgUpgradeEntry = 16; // data answer; first request of an upgrade

// Command 15: firmware upgrade. Arguments 0 and 1 are the start and finish
// requests; image blocks are numbered from kFirstImageBlock on.
inline constexpr std::uint8_t kCmdUpgrade = 15;
inline constexpr std::uint16_t kArgStartUpgrade = 0;
inline constexpr std::uint16_t kArgFinishUpgrade = 1;

// Command 80: the factory parameter block, argument 0.
inline constexpr std::uint8_t kCmdParamBlock = 80;
inline constexpr std::uint16_t kArgParamBlock = 0;

// Every block request carries one block of this many bytes.
inline constexpr std::size_t kBlockSize = 256;
// Byte 0 of the parameter block as the scale takes it.
inline constexpr std::uint8_t kParamBlockMarker = 0xA6;

// The firmware image goes in blocks of kBlockSize, numbered from 0; blocks
// 0..31 (the first 8 KiB) are never sent. The block number travels in the
// 16-bit argument, so an image has at most kMaxImageBlocks blocks (16 MiB):
// a larger one would wrap onto the start (15/0) and finish (15/1) requests.
inline constexpr std::uint16_t kFirstImageBlock = 32;
inline constexpr std::uint32_t kLastImageBlock = 65535;
inline constexpr std::int64_t kMaxImageBlocks = std::int64_t{kLastImageBlock} + 1;
inline constexpr std::int64_t kMaxImageBytes = kMaxImageBlocks * static_cast<std::int64_t>(kBlockSize);
// Blocks an image of `bytes` bytes takes (a short last block counts).
constexpr std::int64_t ImageBlocks(std::int64_t bytes) {
  return bytes <= 0 ? 0 : (bytes + static_cast<std::int64_t>(kBlockSize) - 1) / static_cast<std::int64_t>(kBlockSize);
}
// The word the finish request carries and the last block ends with.
inline constexpr std::uint16_t kVerificationWord = 0;

// Payload byte 2 of the upgrade-entry request.
inline constexpr std::uint8_t kUpgradeEntryMode = 0x10;

// Answers: a verdict is one byte; a data answer over the serial line is a
// frame that begins with the start marker. Nothing else can begin an answer.
inline constexpr std::uint8_t kVerdictAck = 0x02;
inline constexpr std::uint8_t kVerdictRefused = 0x55;
inline constexpr std::uint8_t kFrameStart = 0x03;
inline constexpr std::uint8_t kFrameEnd = 0x04;
inline constexpr std::uint8_t kFrameTrailer = 0xFF;

// The identifier that log-on, log-off and upgrade entry carry.
inline constexpr std::int32_t kAccessCode = 4817;

// Serial flow control characters the scale may send.
inline constexpr std::uint8_t kXon = 0x11;
inline constexpr std::uint8_t kXoff = 0x13;

// The scale's UDP port.
inline constexpr int kScaleUdpPort = 5001;

// Serial speeds, by the index the log-on request carries (payload byte 10).
inline constexpr std::array<std::uint32_t, 5> kBaudTable = {9600, 19200, 38400, 57600, 115200};
// Index of `bps` in kBaudTable, or -1.
constexpr int BaudIndexOf(std::uint32_t bps) {
  for (std::size_t i = 0; i < kBaudTable.size(); ++i)
    if (kBaudTable[i] == bps) return static_cast<int>(i);
  return -1;
}

}  // namespace facset::pbus

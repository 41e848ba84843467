#pragma once
// Command numbers, arguments and answer bytes of the scale's protocol, shared
// by the engine and scale-sim so that both sides name each request the same.

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
inline constexpr std::uint16_t kFirstImageBlock = 32;
// The largest block number the 16-bit argument can carry.
inline constexpr std::uint32_t kLastImageBlock = 65535;

// Command 80: the factory parameter block, argument 0.
inline constexpr std::uint8_t kCmdParamBlock = 80;
inline constexpr std::uint16_t kArgParamBlock = 0;

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

}  // namespace facset::pbus

#pragma once
// The scale's packet and its 7-bit serial frame, shared by the tool and by
// scale-sim. Pure functions over fixed buffers; no I/O, no Qt.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/pbus_commands.h"

namespace facset {

// Every engine buffer holds 313 bytes; one receive stores at most 312 of them.
inline constexpr std::size_t kBufSize = 313;
inline constexpr std::size_t kRxMax = 312;
inline constexpr std::size_t kPacketSize = 261;   // command, argument, payload, checksum
inline constexpr std::size_t kPayloadSize = pbus::kBlockSize;
inline constexpr std::size_t kPayloadOffset = 3;
inline constexpr std::size_t kChecksumOffset = 259;
inline constexpr std::size_t kFrameSize = 302;    // with the 0xFF trailer
inline constexpr std::size_t kFrameNeeded = 301;  // what a receiver collects

inline constexpr std::uint8_t kFrameStart = pbus::kFrameStart;
inline constexpr std::uint8_t kFrameEnd = pbus::kFrameEnd;
inline constexpr std::uint8_t kFrameTrailer = pbus::kFrameTrailer;
inline constexpr std::uint8_t kVerdictAck = pbus::kVerdictAck;
inline constexpr std::uint8_t kVerdictRefused = pbus::kVerdictRefused;
inline constexpr std::int32_t kAccessCode = pbus::kAccessCode;

using Buffer = std::array<std::uint8_t, kBufSize>;

// Sum of bytes 0..258 modulo 65536.
std::uint16_t PacketSum(const std::uint8_t* packet);
// Stores PacketSum at 259 (low) and 260 (high).
void SetChecksum(std::uint8_t* packet);
// True when bytes 259..260 hold PacketSum.
bool ChecksumOk(const std::uint8_t* packet);

// Packet bytes 0..260 into frame bytes 0..300 (bytes 301.. untouched; the
// sender adds the trailer).
void EncodeFrame(const std::uint8_t* packet, std::uint8_t* frame);
// Frame bytes 0..300 into packet bytes 0..260 (the rest untouched). Returns
// false when the decoded checksum does not match. Markers are not examined.
bool DecodeFrame(const std::uint8_t* frame, std::uint8_t* packet);

// Builds a request in `buf`: clears all of it, then command, argument (low
// byte first), the payload bytes given, and the checksum.
void BuildPacket(Buffer& buf, std::uint8_t command, std::uint16_t arg,
                 std::span<const std::uint8_t> payload);

// Packed BCD, most significant pair first, (digits - 1) / 2 + 1 bytes into
// `out` (which must hold them). Returns the number of bytes written.
std::size_t IntToBcd(std::uint32_t value, int digits, std::uint8_t* out);
// One BCD byte of the last two decimal digits: 2026 -> 0x26.
std::uint8_t ToBcd2(std::uint16_t value);
// The 8-digit identifier in 4 bytes, least significant pair first.
void IdToBcdLsbFirst(std::uint32_t id, std::uint8_t* out4);

using pbus::BaudIndexOf;
using pbus::kBaudTable;

}  // namespace facset

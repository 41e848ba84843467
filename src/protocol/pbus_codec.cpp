#include "protocol/pbus_codec.h"

#include <algorithm>
#include <cstring>

namespace facset {

std::uint16_t PacketSum(const std::uint8_t* packet) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kChecksumOffset; ++i) sum += packet[i];
  return static_cast<std::uint16_t>(sum & 0xFFFF);
}

void SetChecksum(std::uint8_t* packet) {
  const std::uint16_t sum = PacketSum(packet);
  packet[kChecksumOffset] = static_cast<std::uint8_t>(sum & 0xFF);
  packet[kChecksumOffset + 1] = static_cast<std::uint8_t>(sum >> 8);
}

bool ChecksumOk(const std::uint8_t* packet) {
  const std::uint16_t sum = PacketSum(packet);
  return packet[kChecksumOffset] == (sum & 0xFF) && packet[kChecksumOffset + 1] == (sum >> 8);
}

void EncodeFrame(const std::uint8_t* packet, std::uint8_t* frame) {
  std::memset(frame, 0, kFrameNeeded);
  frame[0] = kFrameStart;
  frame[300] = kFrameEnd;
  for (std::size_t i = 0; i < kChecksumOffset; ++i) {
    const std::size_t g = i / 7, j = i % 7;
    frame[1 + 8 * g + j] = packet[i] & 0x7F;
    if (packet[i] & 0x80) frame[8 + 8 * g] |= static_cast<std::uint8_t>(1u << j);
  }
  frame[297] = packet[259] & 0x7F;
  frame[298] = packet[260] & 0x7F;
  if (packet[259] & 0x80) frame[299] |= 0x01;
  if (packet[260] & 0x80) frame[299] |= 0x02;
  for (std::size_t i = 1; i <= 299; ++i) frame[i] |= 0x80;
}

bool DecodeFrame(const std::uint8_t* frame, std::uint8_t* packet) {
  std::memset(packet, 0, kPacketSize);
  for (std::size_t i = 0; i < kChecksumOffset; ++i) {
    const std::size_t g = i / 7, j = i % 7;
    std::uint8_t b = frame[1 + 8 * g + j] & 0x7F;
    if (frame[8 + 8 * g] & (1u << j)) b |= 0x80;
    packet[i] = b;
  }
  packet[259] = static_cast<std::uint8_t>((frame[297] & 0x7F) | ((frame[299] & 0x01) ? 0x80 : 0));
  packet[260] = static_cast<std::uint8_t>((frame[298] & 0x7F) | ((frame[299] & 0x02) ? 0x80 : 0));
  return ChecksumOk(packet);
}

void BuildPacket(Buffer& buf, std::uint8_t command, std::uint16_t arg,
                 std::span<const std::uint8_t> payload) {
  buf.fill(0);
  buf[0] = command;
  buf[1] = static_cast<std::uint8_t>(arg & 0xFF);
  buf[2] = static_cast<std::uint8_t>(arg >> 8);
  std::copy_n(payload.begin(), std::min(payload.size(), kPayloadSize), buf.begin() + kPayloadOffset);
  SetChecksum(buf.data());
}

std::size_t IntToBcd(std::uint32_t value, int digits, std::uint8_t* out) {
  if (digits <= 0) return 0;
  const std::size_t n = static_cast<std::size_t>((digits - 1) / 2 + 1);
  for (std::size_t k = n; k-- > 0;) {
    out[k] = static_cast<std::uint8_t>(((value / 10) % 10) * 16 + value % 10);
    value /= 100;
  }
  return n;
}

std::uint8_t ToBcd2(std::uint16_t value) {
  return static_cast<std::uint8_t>(((value / 10) % 10) * 16 + value % 10);
}

void IdToBcdLsbFirst(std::uint32_t id, std::uint8_t* out4) {
  std::uint8_t msb[4];
  IntToBcd(id, 8, msb);
  for (int i = 0; i < 4; ++i) out4[i] = msb[3 - i];
}

}  // namespace facset

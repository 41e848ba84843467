// The 7-bit frame a serial line delivers, and the packet it carries.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/pbus_codec.h"

using namespace facset;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the sizes the engine hands over, so that a read past them is caught.
  auto* frame = new std::uint8_t[kFrameNeeded];
  auto* packet = new std::uint8_t[kPacketSize];
  auto* again = new std::uint8_t[kFrameNeeded];
  auto* back = new std::uint8_t[kPacketSize];

  // Any line noise decodes to some packet; the verdict is its checksum's.
  std::memset(frame, 0, kFrameNeeded);
  std::memcpy(frame, data, size < kFrameNeeded ? size : kFrameNeeded);
  if (DecodeFrame(frame, packet) != ChecksumOk(packet)) std::abort();

  // What was decoded encodes to a well-formed frame that decodes to it again.
  EncodeFrame(packet, again);
  if (again[0] != kFrameStart || again[300] != kFrameEnd) std::abort();
  for (std::size_t i = 1; i < 300; ++i)
    if ((again[i] & 0x80) == 0) std::abort();
  if (DecodeFrame(again, back) != ChecksumOk(packet)) std::abort();
  if (std::memcmp(packet, back, kPacketSize) != 0) std::abort();

  // Any packet, the input taken as one, survives the line unchanged.
  std::memset(packet, 0, kPacketSize);
  std::memcpy(packet, data, size < kPacketSize ? size : kPacketSize);
  if (size % 2) SetChecksum(packet);
  EncodeFrame(packet, again);
  if (DecodeFrame(again, back) != ChecksumOk(packet)) std::abort();
  if (std::memcmp(packet, back, kPacketSize) != 0) std::abort();

  delete[] frame;
  delete[] packet;
  delete[] again;
  delete[] back;
  return 0;
}

#pragma once
// Integer helpers over the parameter block and the firmware image.

#include <array>
#include <cstdint>
#include <span>

namespace facset {

using ParamBlock = std::array<std::uint8_t, 256>;

// The low 8 bits of an integer read from a file: 300 -> 44, -1 -> 255.
constexpr std::uint8_t Low8(std::int64_t v) { return static_cast<std::uint8_t>(v & 0xFF); }

// Number of block bytes a parameter at byte `n` of width `w` really covers:
// `w` cut so that the parameter ends at byte 255; 0 for n outside 0..255 or w <= 0.
// Definitions may claim more than the block holds; every access goes through this.
int EffectiveWidth(int n, int w);

// Bytes n .. n+w'-1 (w' = EffectiveWidth) as one unsigned big-endian number in
// signed 32-bit arithmetic: bytes more than four places from the end add
// nothing (2^32 wraps to 0), so a width of 4 may give a negative value.
std::int32_t JoinValue(const ParamBlock& block, int n, int w);

// The inverse of JoinValue over the same clamped bytes: byte n+i := low 8 bits of
// v / 2^(8*(w'-1-i)) (division truncating towards zero; 0 for shifts of 32 bits
// and more). Bytes outside the block are never written.
void SplitValue(ParamBlock& block, std::int32_t v, int n, int w);

// 0 when a <= 0 (or b <= 0), else a / b rounded up: CeilDiv(257, 256) = 2.
std::int64_t CeilDiv(std::int64_t a, std::int64_t b);

// Packed BCD, most significant pair first, (digits - 1) / 2 + 1 bytes (never more
// than `bytes` holds; none for digits <= 0); a nibble above 9 counts as 0.
// 09 87 with 4 digits -> 987; 1A F3 -> 1003.
std::int64_t BcdToInt(std::span<const std::uint8_t> bytes, int digits);

}  // namespace facset

#include "params/param_math.h"

#include <algorithm>

namespace facset {

int EffectiveWidth(int n, int w) {
  if (n < 0 || n > 255 || w <= 0) return 0;
  return std::min(w, 256 - n);
}

std::int32_t JoinValue(const ParamBlock& block, int n, int w) {
  const int width = EffectiveWidth(n, w);
  std::uint32_t v = 0;  // unsigned: the wrap of the signed 32-bit sum, without overflow
  for (int i = 0; i < width; ++i) {
    const int shift = 8 * (width - 1 - i);
    if (shift < 32) v += static_cast<std::uint32_t>(block[n + i]) << shift;
  }
  return static_cast<std::int32_t>(v);
}

void SplitValue(ParamBlock& block, std::int32_t v, int n, int w) {
  const int width = EffectiveWidth(n, w);
  for (int i = 0; i < width; ++i) {
    const int shift = 8 * (width - 1 - i);
    // Division, not a shift: a negative value truncates towards zero.
    const std::int64_t q = shift < 32 ? static_cast<std::int64_t>(v) / (std::int64_t{1} << shift) : 0;
    block[n + i] = Low8(q);
  }
}

std::int64_t CeilDiv(std::int64_t a, std::int64_t b) {
  if (a <= 0 || b <= 0) return 0;
  return a / b + (a % b != 0 ? 1 : 0);
}

std::int64_t BcdToInt(std::span<const std::uint8_t> bytes, int digits) {
  if (digits <= 0) return 0;
  const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>((digits - 1) / 2 + 1), bytes.size());
  std::uint64_t result = 0;  // wraps instead of overflowing for absurd digit counts
  for (std::size_t i = 0; i < count; ++i) {
    int hi = bytes[i] >> 4, lo = bytes[i] & 0x0F;
    if (hi > 9) hi = 0;
    if (lo > 9) lo = 0;
    result = result * 100 + static_cast<std::uint64_t>(hi * 10 + lo);
  }
  return static_cast<std::int64_t>(result);
}

}  // namespace facset

// Fuzz target: the serial receive filter. Whatever the driver hands over, in
// whatever reads: no call writes more than it was given, and the bytes that
// come out (with those owed) are the same as for one read of everything.
//
// Links: facset_serial (with Qt6::Core).
//
// Input: byte 0 the settings (bit 0 drop zero bytes, bit 1 parity marks,
// bit 2 replace marked bytes); then records of [length] and `length` bytes,
// one record per read.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "serial/serial_threads.h"

using facset::serial_detail::RxFilter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  RxFilter split, whole;
  split.ignoreNull = whole.ignoreNull = data[0] & 1;
  split.unmark = whole.unmark = data[0] & 2;
  split.replace = whole.replace = data[0] & 4;
  split.replacedChar = whole.replacedChar = '?';
  std::vector<std::uint8_t> all, outSplit;
  for (std::size_t i = 1; i < size;) {
    const std::size_t len = std::min<std::size_t>(data[i], size - i - 1);
    ++i;
    std::vector<std::uint8_t> out(len + RxFilter::kMaxOwed + 1, 0xEE);
    const std::size_t n = split.Apply(data + i, len, out.data());
    if (n > len) std::abort();
    if (out[len] != 0xEE) std::abort();  // wrote past what it was given
    outSplit.insert(outSplit.end(), out.begin(), out.begin() + static_cast<long>(n));
    std::uint8_t owed[RxFilter::kMaxOwed];
    const std::size_t o = split.TakeOwed(owed);
    outSplit.insert(outSplit.end(), owed, owed + o);
    all.insert(all.end(), data + i, data + i + len);
    i += len;
  }
  std::vector<std::uint8_t> outWhole(all.size() + RxFilter::kMaxOwed);
  std::size_t n = whole.Apply(all.data(), all.size(), outWhole.data());
  n += whole.TakeOwed(outWhole.data() + n);
  outWhole.resize(n);
  if (outWhole != outSplit) std::abort();
  return 0;
}

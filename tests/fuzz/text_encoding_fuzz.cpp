// GBK bytes from any file, and UTF-8 from any widget or terminal, converted both ways.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text_encoding.h"

using namespace facset;

namespace {

bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) n = 1, cp = c;
    else if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
    else return false;
    if (i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Whatever a file holds shows as valid UTF-8; what decoded cleanly encodes back to the same bytes.
  const std::string shown = GbkToUtf8(bytes);
  if (!IsValidUtf8(shown)) std::abort();
  if (shown.find("\xEF\xBF\xBD") == std::string::npos && Utf8ToGbk(shown) != bytes) std::abort();

  // Whatever is typed is stored as GBK that shows as valid UTF-8 and stores again unchanged.
  const std::string stored = Utf8ToGbk(bytes);
  const std::string again = GbkToUtf8(stored);
  if (!IsValidUtf8(again) || Utf8ToGbk(again) != stored) std::abort();
  return 0;
}

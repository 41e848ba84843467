#include "platform/text_encoding.h"

#include <iconv.h>

#include <cerrno>

namespace facset {

namespace {

// One converter per direction and thread; opening one costs far more than a
// conversion of a catalog text.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts until the input ends or a sequence cannot be converted; returns
  // false with `in` at the offending byte in the latter case.
  bool Run(std::string_view& in, std::string& out) {
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char buf[1024];
    while (!in.empty()) {
      char* src = const_cast<char*>(in.data());
      std::size_t srcLeft = in.size();
      char* dst = buf;
      std::size_t dstLeft = sizeof buf;
      const std::size_t r = ::iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      const int err = errno;
      out.append(buf, static_cast<std::size_t>(dst - buf));
      in.remove_prefix(in.size() - srcLeft);
      if (r != static_cast<std::size_t>(-1)) continue;
      if (err == E2BIG) continue;
      return false;  // EILSEQ or EINVAL (truncated at the end)
    }
    return true;
  }

 private:
  iconv_t cd_;
};

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t Utf8SeqLen(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  std::size_t n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
  else return 0;
  if (s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return n;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  std::string out;
  out.reserve(gbk.size() * 3 / 2);
  thread_local Converter conv("UTF-8", "GBK");
  while (!gbk.empty()) {
    if (conv.ok() && conv.Run(gbk, out)) break;
    // Without a converter, ASCII still passes.
    if (!conv.ok() && static_cast<unsigned char>(gbk[0]) < 0x80) {
      out.push_back(gbk[0]);
    } else {
      out += "\xEF\xBF\xBD";
    }
    // Skip only the bad byte: a lead byte followed by ASCII keeps the ASCII.
    gbk.remove_prefix(1);
  }
  return out;
}

std::string Utf8ToGbk(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  thread_local Converter conv("GBK", "UTF-8");
  while (!utf8.empty()) {
    if (conv.ok() && conv.Run(utf8, out)) break;
    if (!conv.ok() && static_cast<unsigned char>(utf8[0]) < 0x80) {
      out.push_back(utf8[0]);
      utf8.remove_prefix(1);
      continue;
    }
    out.push_back('?');
    const std::size_t n = Utf8SeqLen(utf8);
    utf8.remove_prefix(n == 0 ? 1 : n);
  }
  return out;
}

}  // namespace facset

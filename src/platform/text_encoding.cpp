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

// Bytes to skip for the UTF-8 sequence at the start of `s` that could not be
// converted: the whole sequence when it is well formed (GBK lacks the character),
// else its lead byte and the continuation bytes that belonged to it, so that a
// truncated sequence counts as one bad character.
std::size_t BadSeqLen(std::string_view s) {
  const auto c = static_cast<unsigned char>(s[0]);
  std::size_t n;
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) n = 3;
  else if (c >= 0xF0 && c <= 0xF4) n = 4;
  else return 1;
  std::size_t i = 1;
  while (i < n && i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
  return i;
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
    utf8.remove_prefix(BadSeqLen(utf8));
  }
  return out;
}

bool GbkCanHold(std::string_view utf8) { return GbkToUtf8(Utf8ToGbk(utf8)) == utf8; }

std::size_t Utf8SequenceLen(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points above U+10FFFF.
  if (c == 0xE0 && b(i + 1) < 0xA0) return 0;
  if (c == 0xED && b(i + 1) > 0x9F) return 0;
  if (c == 0xF0 && b(i + 1) < 0x90) return 0;
  if (c == 0xF4 && b(i + 1) > 0x8F) return 0;
  return n;
}

std::string ValidUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = Utf8SequenceLen(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

namespace {
bool IsAsciiControl(unsigned char c) { return c < 0x20 || c == 0x7F; }
}  // namespace

std::string EscapeForTerminal(std::string_view s, TerminalEscape how) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  auto escape = [&](unsigned char c) {
    out += "\\x";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xF]);
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (how.keepNewlines && c == '\n') {
      out.push_back('\n');
    } else if (IsAsciiControl(c)) {
      escape(c);
    } else if (!how.gbk && c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
      escape(c);
      escape(static_cast<unsigned char>(s[++i]));
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace facset

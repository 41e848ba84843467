#include "platform/text_rules.h"

namespace facset {

std::string_view TrimBlanks(std::string_view s) {
  std::size_t b = 0;
  while (b < s.size() && IsBlankByte(static_cast<unsigned char>(s[b]))) ++b;
  std::size_t end = b;
  for (std::size_t i = b; i < s.size();) {
    const std::size_t n = GbkCharLen(s, i);
    if (n == 2 || !IsBlankByte(static_cast<unsigned char>(s[i]))) end = i + n;
    i += n;
  }
  return s.substr(b, end - b);
}

void FoldAsciiInto(std::string_view s, std::string& out) {
  out.clear();
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = GbkCharLen(s, i);
    if (n == 2) {
      out.append(s.data() + i, 2);
    } else {
      out.push_back(AsciiLower(s[i]));
    }
    i += n;
  }
}

std::string FoldAscii(std::string_view s) {
  std::string out;
  FoldAsciiInto(s, out);
  return out;
}

bool EqualsFoldedAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return FoldAscii(a) == FoldAscii(b);
}

std::string ToLfBreaks(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    if (const std::size_t n = LineBreakLen(s, i)) {
      out.push_back('\n');
      i += n;
    } else {
      out.push_back(s[i++]);
    }
  }
  return out;
}

}  // namespace facset

#include "records/json_text.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "platform/text_encoding.h"

namespace facset {
namespace {

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}
  void SkipBlanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool Take(char c) {
    SkipBlanks();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    SkipBlanks();
    return i_ == s_.size();
  }
  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i_ >= s_.size()) return std::nullopt;
      switch (s_[i_++]) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          auto cp = Hex4();
          if (!cp) return std::nullopt;
          if (*cp >= 0xD800 && *cp <= 0xDBFF) {
            if (i_ + 1 < s_.size() && s_[i_] == '\\' && s_[i_ + 1] == 'u') {
              i_ += 2;
              const auto low = Hex4();
              if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
              *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
            } else {
              *cp = 0xFFFD;
            }
          } else if (*cp >= 0xDC00 && *cp <= 0xDFFF) {
            *cp = 0xFFFD;
          }
          AppendUtf8(out, *cp);
          break;
        }
        default: return std::nullopt;
      }
    }
    return std::nullopt;
  }

 private:
  std::optional<std::uint32_t> Hex4() {
    if (i_ + 4 > s_.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return v;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      if (const std::size_t n = Utf8SequenceLen(s, i); n > 0) {
        i += n;
        continue;
      }
    }
    out.append(s.substr(run, i - run));
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += "\xEF\xBF\xBD";
        }
    }
    run = ++i;
  }
  out.append(s.substr(run));
  out.push_back('"');
}

std::string JsonStringArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out.push_back(',');
    AppendJsonString(out, items[i]);
  }
  out.push_back(']');
  return out;
}

std::vector<std::string> ParseJsonStringArray(std::string_view json) {
  Reader r(json);
  std::vector<std::string> items;
  if (!r.Take('[')) return {};
  if (r.Take(']')) return r.AtEnd() ? items : std::vector<std::string>{};
  do {
    auto s = r.String();
    if (!s) return {};
    items.push_back(std::move(*s));
  } while (r.Take(','));
  if (!r.Take(']') || !r.AtEnd()) return {};
  return items;
}

}  // namespace facset

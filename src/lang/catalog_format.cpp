#include "lang/catalog_format.h"

#include <algorithm>
#include <vector>

namespace facset {

namespace {
// Width and precision beyond this are a typo in a language file, not a wish
// for megabytes of padding.
constexpr int kMaxField = 64;

std::string Digits(std::uint64_t v, bool hex) {
  if (v == 0) return "0";
  std::string s;
  while (v != 0) {
    const int d = static_cast<int>(hex ? v % 16 : v % 10);
    s.push_back("0123456789ABCDEF"[d]);
    v = hex ? v / 16 : v / 10;
  }
  std::reverse(s.begin(), s.end());
  return s;
}
}  // namespace

std::string FormatCatalog(std::string_view format, std::initializer_list<CatalogArg> args) {
  const std::vector<CatalogArg> values(args);
  std::size_t next = 0;
  std::string out;
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      out.push_back(format[i++]);
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    std::size_t j = i + 1;
    bool left = false, zero = false;
    while (j < format.size() && (format[j] == '-' || format[j] == '0')) {
      (format[j] == '-' ? left : zero) = true;
      ++j;
    }
    auto number = [&](int& v) {
      v = 0;
      while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
        v = std::min(kMaxField, v * 10 + (format[j] - '0'));
        ++j;
      }
    };
    int width = 0, precision = -1;
    number(width);
    if (j < format.size() && format[j] == '.') {
      ++j;
      number(precision);
    }
    const char conv = j < format.size() ? format[j] : '\0';
    const bool known = conv == 's' || conv == 'd' || conv == 'i' || conv == 'u' || conv == 'x' || conv == 'X';
    if (!known || next >= values.size()) {
      out.push_back('%');
      ++i;
      continue;
    }
    const CatalogArg& arg = values[next++];
    i = j + 1;
    if (const auto* text = std::get_if<std::string>(&arg.value)) {
      out += *text;
      continue;
    }
    const std::int64_t v = std::get<std::int64_t>(arg.value);
    const bool hex = conv == 'x' || conv == 'X';
    const bool negative = !hex && v < 0;
    const std::uint64_t magnitude =
        negative ? static_cast<std::uint64_t>(-(v + 1)) + 1 : static_cast<std::uint64_t>(v);
    std::string body = Digits(hex ? static_cast<std::uint64_t>(v) & 0xFFFFFFFFu : magnitude, hex);
    if (precision > static_cast<int>(body.size())) body.insert(0, precision - body.size(), '0');
    if (negative) body.insert(0, 1, '-');
    if (static_cast<int>(body.size()) < width) {
      const std::size_t pad = width - body.size();
      if (left) {
        body.append(pad, ' ');
      } else if (zero && precision < 0) {
        body.insert(negative ? 1 : 0, pad, '0');
      } else {
        body.insert(0, pad, ' ');
      }
    }
    out += body;
  }
  return out;
}

}  // namespace facset

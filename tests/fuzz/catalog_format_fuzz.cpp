// Catalog formats come from language files that translators edit. Any text must
// format without harm; where the C library's printf accepts the same format with
// the same arguments, both must print the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lang/catalog_format.h"

using namespace facset;

namespace {

std::string Format(const std::string& f, const std::vector<CatalogArg>& a) {
  switch (a.size()) {
    case 0: return FormatCatalog(f, {});
    case 1: return FormatCatalog(f, {a[0]});
    case 2: return FormatCatalog(f, {a[0], a[1]});
    case 3: return FormatCatalog(f, {a[0], a[1], a[2]});
    default: return FormatCatalog(f, {a[0], a[1], a[2], a[3]});
  }
}

std::string Printf(const std::string& conversion, auto value) {
  const int n = std::snprintf(nullptr, 0, conversion.c_str(), value);
  if (n < 0) std::abort();
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), conversion.c_str(), value);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The same format through printf, one conversion at a time; false when printf
// does not accept the format with these arguments (or the formatter documents
// another result: a text argument goes in as it stands, "x" prints upper case).
bool ThroughPrintf(const std::string& f, const std::vector<CatalogArg>& args, std::string& out) {
  std::size_t next = 0;
  for (std::size_t i = 0; i < f.size();) {
    const char c = f[i];
    if (c == '\0') return false;  // printf stops there
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 < f.size() && f[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    std::size_t j = i + 1;
    while (j < f.size() && (f[j] == '-' || f[j] == '0')) ++j;
    const std::size_t w = j;
    while (j < f.size() && IsDigit(f[j])) ++j;
    if (j - w > 2 || (j - w == 2 && std::stoi(f.substr(w, 2)) > 64)) return false;  // the formatter caps at 64
    bool hasPrecision = false;
    int precision = 0;
    if (j < f.size() && f[j] == '.') {
      hasPrecision = true;
      const std::size_t p = ++j;
      while (j < f.size() && IsDigit(f[j])) ++j;
      if (j - p > 2) return false;
      precision = j > p ? std::stoi(f.substr(p, j - p)) : 0;
      if (precision > 64) return false;
    }
    if (j >= f.size() || next >= args.size()) return false;
    std::string conversion = f.substr(i, j - i + 1);
    const char conv = f[j];
    const CatalogArg& arg = args[next++];
    if (const auto* text = std::get_if<std::string>(&arg.value)) {
      if (conv != 's' || conversion != "%s" || text->find('\0') != std::string::npos) return false;
      out += *text;
    } else {
      const std::int64_t v = std::get<std::int64_t>(arg.value);
      // C prints nothing for a zero of precision 0; the formatter prints "0".
      if (hasPrecision && precision == 0 && v == 0) return false;
      switch (conv) {
        case 'd': case 'i': case 's':
          conversion.back() = 'd';
          out += Printf(conversion, static_cast<int>(v));
          break;
        case 'u':
          if (v < 0) return false;
          out += Printf(conversion, static_cast<unsigned>(v));
          break;
        case 'x': case 'X':
          conversion.back() = 'X';
          out += Printf(conversion, static_cast<unsigned>(v));
          break;
        default:
          return false;
      }
    }
    i = j + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<CatalogArg> args;
  const int count = in.ConsumeIntegralInRange(0, 4);
  for (int k = 0; k < count; ++k) {
    if (in.ConsumeBool())
      args.emplace_back(in.ConsumeRandomLengthString(16));
    else
      args.emplace_back(in.ConsumeIntegral<std::int32_t>());
  }
  const std::string format = in.ConsumeRemainingBytesAsString();
  const std::string got = Format(format, args);

  std::string want;
  if (ThroughPrintf(format, args, want) && got != want) {
    std::fprintf(stderr, "format [%s]: formatter [%s], printf [%s]\n", format.c_str(), got.c_str(), want.c_str());
    std::abort();
  }
  return 0;
}

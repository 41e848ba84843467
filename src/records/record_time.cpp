#include "records/record_time.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace facset {
namespace {

bool IsDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> ParseSinceDate(std::string_view t) {
  if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.remove_suffix(1);
  // Positions of the fixed separators in "YYYY-MM-DDTHH:MM:SS".
  if (t.size() != 10 && t.size() != 16 && t.size() != 19) return std::nullopt;
  auto num = [&](std::size_t pos, std::size_t len) -> int {
    const std::string_view d = t.substr(pos, len);
    if (!IsDigits(d)) return -1;
    int v = 0;
    for (char c : d) v = v * 10 + (c - '0');
    return v;
  };
  if (t[4] != '-' || t[7] != '-') return std::nullopt;
  const int y = num(0, 4), mo = num(5, 2), d = num(8, 2);
  int h = 0, mi = 0, s = 0;
  if (t.size() >= 16) {
    if ((t[10] != 'T' && t[10] != 't' && t[10] != ' ') || t[13] != ':') return std::nullopt;
    h = num(11, 2);
    mi = num(14, 2);
  }
  if (t.size() == 19) {
    if (t[16] != ':') return std::nullopt;
    s = num(17, 2);
  }
  if (y < 0 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) {
    return std::nullopt;
  }
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return std::nullopt;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", y, mo, d, h, mi, s);
  return std::string(buf);
}

std::string UtcNowIso() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char buf[40];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return buf;
}

}  // namespace facset

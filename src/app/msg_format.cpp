#include "msg_format.h"

#include <cstring>

namespace facset {

std::string FormatMsg(std::string_view format, const std::vector<std::string>& args) {
  std::string out;
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    // %[flags][width][.precision]conversion
    std::size_t j = i + 1;
    while (j < format.size() && std::strchr("-+ #0", format[j]) != nullptr) ++j;
    while (j < format.size() && format[j] >= '0' && format[j] <= '9') ++j;
    if (j < format.size() && format[j] == '.') {
      ++j;
      while (j < format.size() && format[j] >= '0' && format[j] <= '9') ++j;
    }
    if (j < format.size() && std::strchr("sdiuxX", format[j]) != nullptr && next < args.size()) {
      out += args[next++];
      i = j + 1;
      continue;
    }
    out.push_back('%');
    ++i;
  }
  return out;
}

}  // namespace facset

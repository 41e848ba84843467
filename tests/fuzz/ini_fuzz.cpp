// Any bytes as an INI file: every name it holds, and a few it may not, is read.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_file.h"
#include "platform/ini_file.h"

using namespace facset;

namespace {

// The sections and keys the file seems to hold; a rough cut is enough, the
// layer itself decides what they are.
std::vector<std::pair<std::string, std::string>> NamesIn(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> names;
  std::string section;
  while (!text.empty() && names.size() < 64) {
    const std::size_t eol = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    const std::size_t rb = line.rfind(']');
    if (!line.empty() && line[0] == '[' && rb != std::string_view::npos) {
      section.assign(line.substr(1, rb - 1));
    } else {
      names.emplace_back(section, std::string(line.substr(0, line.find('='))));
    }
  }
  names.emplace_back("factory", "byte[1  ]");
  names.emplace_back("", "");
  return names;
}

// ReadInteger's rule on a text: decimal with sign, or a 32-bit hex pattern
// after "$", "0x", "0X"; false for anything else.
bool Integer(std::string_view s, std::int32_t& out) {
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) neg = s[0] == '-', s.remove_prefix(1);
  int base = 10;
  if (s.starts_with("$")) base = 16, s.remove_prefix(1);
  else if (s.starts_with("0x") || s.starts_with("0X")) base = 16, s.remove_prefix(2);
  if (s.empty()) return false;
  for (const char c : s)
    if (base == 10 ? !std::isdigit(static_cast<unsigned char>(c)) : !std::isxdigit(static_cast<unsigned char>(c)))
      return false;
  const unsigned long long mag = std::strtoull(std::string(s).c_str(), nullptr, base);
  if (mag > 0xFFFFFFFFull) return false;
  if (base == 16) {
    const std::uint32_t bits = neg ? 0u - static_cast<std::uint32_t>(mag) : static_cast<std::uint32_t>(mag);
    out = static_cast<std::int32_t>(bits);
    return true;
  }
  const long long v = neg ? -static_cast<long long>(mag) : static_cast<long long>(mag);
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string& path = fuzzing::ScratchFile();
  fuzzing::PutFile(path, text);
  const IniFile ini(path);
  for (const auto& [section, key] : NamesIn(text)) {
    const std::string v = ini.ReadString(section, key, "\x01missing");
    if (v.size() > kIniMaxValue || v.find_first_of("\r\n") != std::string::npos) std::abort();
    std::int32_t want = 0;
    const std::int32_t got = ini.ReadInteger(section, key, -7);
    if (Integer(v, want) ? got != want : got != -7) std::abort();
    ini.ReadBool(section, key, true);
  }
  return 0;
}

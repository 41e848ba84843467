#include "download/serial_names.h"

#include "lang/lang.h"

namespace facset {

std::string ComListText(int index) {
  if (index < 0 || index >= static_cast<int>(kComList.size())) return {};
  return std::string(kComList[static_cast<std::size_t>(index)]);
}

int ComNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 7) return 0;
  if (!EqualsFoldedAscii(name.substr(0, 3), "com")) return 0;
  int n = 0;
  for (char c : name.substr(3)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return name[3] == '0' ? 0 : n;
}

std::string ResolveSerialDevice(std::string_view name, const IniFile* config) {
  if (config && !name.empty()) {
    const std::string mapped(TrimBlanks(config->ReadString(kSerialSection, name, "")));
    if (!mapped.empty()) return mapped;
  }
  if (const int n = ComNumber(name); n > 0) return "/dev/ttyS" + std::to_string(n - 1);
  return std::string(name);
}

}  // namespace facset

#include "port_list.h"

#include <algorithm>

#include "download/serial_names.h"

namespace facset::cli {

namespace {

constexpr std::string_view kByIdDir = "/dev/serial/by-id/";

bool IsSerialName(const std::string& name) {
  for (std::string_view prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
    if (name.size() > prefix.size() && name.starts_with(prefix) &&
        name.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
      return true;
    }
  }
  return false;
}

// ttyS2 before ttyS10; ttyACM before ttyS before ttyUSB.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    const std::size_t d = s.find_first_of("0123456789");
    return std::make_pair(s.substr(0, d), std::stol(s.substr(d)));
  };
  return split(a) < split(b);
}

}  // namespace

std::vector<PortInfo> ListSerialPorts(const std::vector<std::string>& devNames,
                                      const std::vector<std::pair<std::string, std::string>>& byId,
                                      const IniFile* config, const std::function<int(const std::string&)>& openError) {
  std::vector<std::string> names;
  for (const std::string& n : devNames) {
    if (IsSerialName(n)) names.push_back(n);
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  names.erase(std::unique(names.begin(), names.end()), names.end());

  // The device a mapped path stands for: a by-id name counts as its target.
  const auto deviceOf = [&byId](const std::string& path) {
    if (path.starts_with(kByIdDir)) {
      const std::string id = path.substr(kByIdDir.size());
      for (const auto& [name, target] : byId) {
        if (name == id) return target;
      }
    }
    return path;
  };
  std::vector<std::pair<std::string, std::string>> mapped;  // list name -> device
  for (int n = 1; n <= kMaxListedCom; ++n) {
    const std::string name = "COM" + std::to_string(n);
    mapped.emplace_back(name, deviceOf(ResolveSerialDevice(name, config)));
  }

  std::vector<PortInfo> out;
  for (const std::string& n : names) {
    PortInfo p;
    p.device = "/dev/" + n;
    for (const auto& [name, device] : mapped) {
      if (device == p.device) p.listNames.push_back(name);
    }
    for (const auto& [id, target] : byId) {
      if (target == p.device) p.byId.push_back(id);
    }
    p.openError = openError(p.device);
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace facset::cli

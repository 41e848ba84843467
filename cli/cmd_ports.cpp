// facset-cli ports: the serial devices present and how to name them.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "cli.h"
#include "lang/lang.h"
#include "platform/paths.h"
#include "port_list.h"
#include "platform/text_encoding.h"

namespace facset::cli {
namespace {

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  return out;
}

std::vector<std::pair<std::string, std::string>> ByIdLinks() {
  std::vector<std::pair<std::string, std::string>> out;
  const std::string dir = "/dev/serial/by-id";
  for (const std::string& n : Names(dir)) {
    std::error_code ec;
    const auto target = std::filesystem::canonical(dir + "/" + n, ec);
    if (!ec) out.emplace_back(n, target.string());
  }
  return out;
}

int OpenError(const std::string& device) {
  return ::access(device.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

std::string GroupOf(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) return {};
  const group* g = ::getgrgid(st.st_gid);
  return g ? g->gr_name : std::string();
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += (s.empty() ? "" : ",") + x;
  return s.empty() ? "-" : s;
}

int RunPorts(std::span<const std::string> args) {
  std::vector<std::string> pos;
  if (auto code = TakePositionals(kPortsCommand, args, 0, 0, pos)) return *code;
  std::unique_ptr<IniFile> config;
  const std::string configPath = FilesDir() + std::string(kToolConfigName);
  if (::access(configPath.c_str(), R_OK) == 0) config = std::make_unique<IniFile>(configPath);
  std::vector<PortInfo> ports;
  try {
    ports = ListSerialPorts(Names("/dev"), ByIdLinks(), config.get(), OpenError);
  } catch (const EIniError& e) {
    return Fail(e.what());
  }
  std::string deniedGroup;
  bool denied = false;
  for (const PortInfo& p : ports) {
    std::string access = "ok";
    if (p.openError != 0) {
      access = std::string("no access (") + std::strerror(p.openError) + ")";
      if (p.openError == EACCES || p.openError == EPERM) {
        denied = true;
        if (deniedGroup.empty()) deniedGroup = GroupOf(p.device);
      }
    }
    std::printf("%s\t%s\t%s\t%s\n", EscapeForTerminal(p.device).c_str(), EscapeForTerminal(Join(p.listNames)).c_str(),
                access.c_str(), EscapeForTerminal(Join(p.byId)).c_str());
  }
  if (denied) {
    const std::string group = deniedGroup.empty() ? "dialout" : deniedGroup;
    std::fprintf(stderr,
                 "facset-cli: hint: to open these ports, add yourself to the group %s\n"
                 "  (sudo usermod -aG %s $USER) and log in again\n",
                 group.c_str(), group.c_str());
  }
  return kExitOk;
}

}  // namespace

const Command kPortsCommand{
    "ports", "ports", "list the serial ports and their list names",
    "Lists the serial devices present (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*),\n"
    "one a line, separated by tabs: the device, the list names that reach it\n"
    "(COMn is /dev/ttyS(n-1) unless section \"serial\" of facconfig.ini in the\n"
    "tool's folder maps it elsewhere, e.g. COM1=/dev/ttyUSB0), whether this user\n"
    "may open it (\"ok\" or why not), and its names in /dev/serial/by-id.\n"
    "\"-\" stands for none. A hint on stderr tells how to get access.\n",
    RunPorts};

}  // namespace facset::cli

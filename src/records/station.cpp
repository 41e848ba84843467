#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "records/records.h"

namespace facset {

std::string StationName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "?";
  return buf;
}

std::string OperatorName() {
  // getlogin names who sat down at the terminal (also under sudo); a service
  // or a desktop launcher without one falls back to the process's user.
  char buf[256] = {};
  if (::getlogin_r(buf, sizeof buf) == 0 && buf[0]) return buf;
  std::array<char, 4096> pwbuf{};
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, pwbuf.data(), pwbuf.size(), &found) == 0 && found) return found->pw_name;
  if (const char* user = std::getenv("USER"); user && *user) return user;
  return "uid " + std::to_string(::geteuid());
}

}  // namespace facset

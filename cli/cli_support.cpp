#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace facset::cli {

void PrintHelp(const Command& cmd) {
  std::printf("usage: facset-cli %.*s\n\n%.*s", int(cmd.synopsis.size()), cmd.synopsis.data(),
              int(cmd.details.size()), cmd.details.data());
}

std::optional<int> TakePositionals(const Command& cmd, std::span<const std::string> args, std::size_t minCount,
                                   std::size_t maxCount, std::vector<std::string>& out) {
  out.clear();
  bool options = true;
  for (const std::string& a : args) {
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "--help" || a == "-h")) {
      PrintHelp(cmd);
      return kExitOk;
    } else if (options && a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
      return UsageError(cmd, "unknown option " + a + " (use -- before an argument that starts with -)");
    } else {
      out.push_back(a);
    }
  }
  if (out.size() < minCount) return UsageError(cmd, "missing arguments");
  if (out.size() > maxCount) return UsageError(cmd, "too many arguments");
  return std::nullopt;
}

int Fail(std::string_view message) {
  std::fprintf(stderr, "facset-cli: %.*s\n", int(message.size()), message.data());
  return kExitError;
}

int UsageError(const Command& cmd, std::string_view message) {
  std::fprintf(stderr, "facset-cli %.*s: %.*s\nusage: facset-cli %.*s\n", int(cmd.name.size()), cmd.name.data(),
               int(message.size()), message.data(), int(cmd.synopsis.size()), cmd.synopsis.data());
  return kExitUsage;
}

std::string CheckReadableFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return path + ": is a directory";
  if (!S_ISREG(st.st_mode)) return path + ": not a regular file";
  if (::access(path.c_str(), R_OK) != 0) return path + ": " + std::strerror(errno);
  return {};
}

}  // namespace facset::cli

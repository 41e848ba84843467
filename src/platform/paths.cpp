#include "platform/paths.h"

#include <unistd.h>

#include <climits>
#include <mutex>

namespace facset {

namespace {
std::mutex g_mutex;
std::string g_override;

std::string WithSlash(std::string d) {
  if (d.empty() || d.back() != '/') d.push_back('/');
  return d;
}
}  // namespace

std::string ExecutableDir() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_override.empty()) return g_override;
  }
  std::string buf(PATH_MAX, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) {
    // No /proc: the working directory is the best remaining guess.
    return "./";
  }
  buf.resize(static_cast<std::size_t>(n));
  const auto slash = buf.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : buf.substr(0, slash + 1);
}

void OverrideExecutableDir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_override = dir.empty() ? std::string() : WithSlash(dir);
}

}  // namespace facset

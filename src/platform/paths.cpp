#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace facset {

namespace {
std::mutex g_mutex;
std::string g_override;
std::string g_resolved;

std::string WithSlash(std::string d) {
  if (d.empty() || d.back() != '/') d.push_back('/');
  return d;
}

std::string CurrentDir() {
  std::string buf(PATH_MAX, '\0');
  if (!::getcwd(buf.data(), buf.size())) return "/";
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  return buf;
}

std::string PasswdHome() {
  const passwd* pw = ::getpwuid(::getuid());
  return pw && pw->pw_dir ? std::string(pw->pw_dir) : std::string();
}
}  // namespace

std::string MakeDirs(const std::string& dir) {
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (part.empty() || part == "/") continue;
    if (::mkdir(part.c_str(), 0700) == 0) continue;
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    return "cannot create " + dir + ": " + std::strerror(err == EEXIST ? ENOTDIR : err);
  }
  return {};
}

std::string ExecutableDir() {
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

std::string ResolveFilesDir(const FilesDirInputs& in) {
  auto set = [&](const char* name) -> std::string {
    const char* v = in.env(name);
    return v ? std::string(v) : std::string();
  };
  if (std::string home = set("FACSET_HOME"); !home.empty()) {
    if (home.front() != '/') home = WithSlash(in.cwd) + home;
    return WithSlash(home);
  }
  if (in.writable(in.exeDir)) return WithSlash(in.exeDir);
  std::string config = set("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME is invalid and is to be ignored.
  if (config.empty() || config.front() != '/') {
    std::string home = set("HOME");
    if (home.empty()) home = in.passwdHome;
    if (home.empty()) home = "/tmp";
    config = WithSlash(home) + ".config";
  }
  return WithSlash(config) + "facset/";
}

std::string FilesDir() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_override.empty()) return g_override;
  if (g_resolved.empty()) {
    FilesDirInputs in{ExecutableDir(), [](const char* n) { return static_cast<const char*>(std::getenv(n)); },
                      [](const std::string& d) { return ::access(d.c_str(), W_OK | X_OK) == 0; }, CurrentDir(),
                      PasswdHome()};
    g_resolved = ResolveFilesDir(in);
    MakeDirs(g_resolved);  // on failure the first write says why
  }
  return g_resolved;
}

void OverrideFilesDir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_override = dir.empty() ? std::string() : WithSlash(dir);
}

}  // namespace facset

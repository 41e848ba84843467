#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
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

std::string UserName(uid_t uid) {
  const passwd* pw = ::getpwuid(uid);
  return pw && pw->pw_name ? std::string(pw->pw_name) : "user " + std::to_string(uid);
}

std::string WithoutSlash(std::string d) {
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d;
}

std::string g_error;  // why FilesDir() has no folder, once resolved
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

bool IsInstalledProgramDir(const std::string& exeDir, const std::string& installBinDir) {
  const std::string dir = WithoutSlash(exeDir);
  const std::string name = dir.substr(dir.find_last_of('/') + 1);
  return name == "bin" || name == "sbin" || (!installBinDir.empty() && dir == WithoutSlash(installBinDir));
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
  if (!IsInstalledProgramDir(in.exeDir, in.installBinDir) && in.writable(in.exeDir)) return WithSlash(in.exeDir);
  std::string config = set("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME is invalid and is to be ignored.
  if (config.empty() || config.front() != '/') {
    const std::string home = set("HOME");
    // Never a shared folder such as /tmp in its place.
    if (home.empty()) throw EFilesDir("HOME is not set: the tool needs HOME or FACSET_HOME to find the folder of its files");
    config = WithSlash(home) + ".config";
  }
  return WithSlash(config) + "facset/";
}

std::string CheckOwnFolder(const std::string& dir) {
  const std::string shown = WithoutSlash(dir);
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return "cannot use " + shown + ": " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "cannot use " + shown + ": " + std::strerror(ENOTDIR);
  const std::string own = "; set FACSET_HOME to a folder of your own";
  if (st.st_uid != ::geteuid()) {
    return "the folder of the tool's files, " + shown + ", belongs to " + UserName(st.st_uid) + ", not to " +
           UserName(::geteuid()) + own;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "the folder of the tool's files, " + shown + ", may be written by other users (mode " + mode +
           "); take their right away (chmod go-w " + shown + ")" + own;
  }
  return {};
}

std::string FilesDir() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_override.empty()) return g_override;
  if (g_resolved.empty() && g_error.empty()) {
    FilesDirInputs in{ExecutableDir(), [](const char* n) { return static_cast<const char*>(std::getenv(n)); },
                      [](const std::string& d) { return ::access(d.c_str(), W_OK | X_OK) == 0; }, CurrentDir(),
                      FACSET_INSTALL_BINDIR};
    try {
      const std::string dir = ResolveFilesDir(in);
      g_error = MakeDirs(dir);
      if (g_error.empty()) g_error = CheckOwnFolder(dir);
      if (g_error.empty()) g_resolved = dir;
    } catch (const EFilesDir& e) {
      g_error = e.what();
    }
  }
  if (g_resolved.empty()) throw EFilesDir(g_error);
  return g_resolved;
}

void OverrideFilesDir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_override = dir.empty() ? std::string() : WithSlash(dir);
}

}  // namespace facset

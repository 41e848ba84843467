#include "download/target_lock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace facset {
namespace {

// A folder every local user shares and none can turn against another: root's,
// and either closed to others or sticky (nobody removes or replaces another's
// file in it).
bool FitForLocks(const char* folder) {
  struct stat st {};
  if (::stat(folder, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0) return false;
  const bool othersWrite = (st.st_mode & S_IWOTH) != 0;
  return !othersWrite || (st.st_mode & S_ISVTX) != 0;
}

// The serial device's own identity when it can be read, else its real path.
std::string SerialKey(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
    return "serial-dev-" + std::to_string(major(st.st_rdev)) + "-" + std::to_string(minor(st.st_rdev));
  }
  std::string path = device;
  if (char* real = ::realpath(device.c_str(), nullptr)) {
    path = real;
    std::free(real);
  }
  std::string key = "serial-path";
  for (const char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
    if (plain) {
      key += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "-%02x", static_cast<unsigned char>(c));
      key += hex;
    }
  }
  return key;
}

std::string ReadSmall(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return s.size() > 4096 ? s.substr(0, 4096) : s;
}

// "pid 1234 (facset-cli, user wang)" for the process the kernel says holds a
// lock on the file `st` names, or "another process" when it cannot tell.
std::string Holder(const struct stat& st) {
  std::istringstream locks(ReadSmall("/proc/locks"));
  const std::string inode =
      std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)) + ":" + std::to_string(st.st_ino);
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream f(line);
    std::string id, kind, mode, access, pid, where;
    f >> id >> kind >> mode >> access >> pid >> where;
    if (kind != "FLOCK" || where.size() < inode.size()) continue;
    // Device numbers are printed in hex, e.g. "00:1b:3": compare as numbers.
    unsigned maj = 0, min = 0;
    unsigned long long ino = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3) continue;
    if (maj != major(st.st_dev) || min != minor(st.st_dev) || ino != st.st_ino) continue;
    if (pid.empty() || pid == "-1") break;
    std::string comm = ReadSmall("/proc/" + pid + "/comm");
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r')) comm.pop_back();
    std::string who = "pid " + pid;
    struct stat ps {};
    std::string user;
    if (::stat(("/proc/" + pid).c_str(), &ps) == 0) {
      if (const passwd* pw = ::getpwuid(ps.st_uid)) user = pw->pw_name;
    }
    if (!comm.empty() || !user.empty()) {
      who += " (" + comm + (comm.empty() || user.empty() ? "" : ", ") + (user.empty() ? "" : "user " + user) + ")";
    }
    return who;
  }
  return "another process";
}

std::string Described(const DownloadTarget& t) {
  if (const auto* s = std::get_if<SerialTarget>(&t)) {
    return "the serial port " + s->listName + (s->device == s->listName ? "" : " (" + s->device + ")");
  }
  const auto& u = std::get<UdpTarget>(t);
  return "the scale at " + u.address + ":" + std::to_string(u.port);
}

}  // namespace

std::string TargetLockFolder() {
  for (const char* folder : {"/run/lock", "/var/lock", "/tmp"}) {
    if (FitForLocks(folder)) return folder;
  }
  return {};
}

std::string TargetLockKey(const DownloadTarget& target) {
  if (const auto* s = std::get_if<SerialTarget>(&target)) return SerialKey(s->device);
  const auto& u = std::get<UdpTarget>(target);
  return "udp-" + u.address + "-" + std::to_string(u.port);
}

TargetLock::~TargetLock() {
  if (fd_ >= 0) ::close(fd_);  // lets go of the lock
}

TargetLock::Taken TargetLock::Take(const DownloadTarget& target, std::chrono::milliseconds wait,
                                   const std::function<bool()>& keepWaiting) {
  Taken out;
  const std::string folder = TargetLockFolder();
  if (folder.empty()) {
    out.warning = "no shared lock folder on this station (/run/lock, /var/lock, /tmp): the scale is not locked";
    return out;
  }
  const std::string path = folder + "/facset-" + TargetLockKey(target) + ".lock";
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    // Read-only is enough for flock, and lets a file another user made serve
    // everyone. Never a link, never a FIFO.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
      if (fd >= 0) ::close(fd);
      out.warning = "cannot use the lock " + path + ": " + why + ": the scale is not locked";
      return out;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Still the file the path names (not one its owner removed meanwhile)?
      struct stat now {};
      if (::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
        out.lock.reset(new TargetLock(fd));
        return out;
      }
      ::close(fd);
      continue;
    }
    const bool busy = errno == EWOULDBLOCK || errno == EINTR;
    if (!busy) {
      out.warning = "cannot lock " + path + ": " + std::strerror(errno) + ": the scale is not locked";
      ::close(fd);
      return out;
    }
    out.gaveUp = keepWaiting && !keepWaiting();
    if (out.gaveUp || std::chrono::steady_clock::now() >= deadline) {
      out.refusal = Described(target) + " is in use by " + Holder(st) + " on this station; nothing was sent";
      ::close(fd);
      return out;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace facset

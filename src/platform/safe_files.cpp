#include "platform/safe_files.h"

#include <sys/file.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace facset {

namespace {

std::string Reason(int err) { return std::strerror(err); }

std::string KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISSOCK(mode)) return "a socket";
  return "an unknown kind of file";
}

}  // namespace

std::string NotRegularReason(mode_t mode) { return KindOf(mode) + ", not a regular file"; }

namespace {

std::string NotRegular(mode_t mode) { return NotRegularReason(mode); }

std::string DirName(const std::string& p) {
  const auto slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string BaseName(const std::string& p) { return p.substr(p.find_last_of('/') + 1); }

// The umask, read without changing it (umask(2) would race with other threads).
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
  }
  return 022;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A new, private file beside the target: an unpredictable name, O_EXCL, mode 0600.
int CreatePrivateTemp(const std::string& dir, const std::string& base, std::string& tmp) {
  static thread_local std::mt19937_64 rng{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%012llx~", static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
    tmp = dir + "/." + base + suffix;
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

// Rewrites the regular file `target` (identified by `old`) in place: it keeps its
// inode, and so its owner, mode and links.
std::string RewriteInPlace(const std::string& target, const struct stat& old, std::string_view data) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Reason(errno);
  struct stat now {};
  std::string why;
  if (::fstat(fd, &now) != 0) {
    why = Reason(errno);
  } else if (!S_ISREG(now.st_mode) || !SameFile(now, old)) {
    why = "replaced by another file during the write";
  } else if (!WriteAllTo(fd, data) || ::ftruncate(fd, static_cast<off_t>(data.size())) != 0 ||
             ::fdatasync(fd) != 0) {
    why = Reason(errno);
  }
  if (::close(fd) != 0 && why.empty()) why = Reason(errno);
  return why;
}

}  // namespace

bool WriteAllTo(int fd, std::string_view data, off_t at) {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
    at += n;
  }
  return true;
}

std::string CheckRegularOrAbsent(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? std::string() : Reason(errno);
  return S_ISREG(st.st_mode) ? std::string() : NotRegular(st.st_mode);
}

int OpenRegularForWrite(const std::string& path, bool truncate, std::string& why, mode_t mode) {
  why = CheckRegularOrAbsent(path);
  if (!why.empty()) return -1;
  // O_NONBLOCK: a FIFO slipped in after the check must not stop the tool.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0) {
    const int err = errno;
    why = err == ELOOP ? NotRegular(S_IFLNK) : err == ENXIO ? NotRegular(S_IFIFO) : Reason(err);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = S_ISREG(st.st_mode) ? Reason(errno) : NotRegular(st.st_mode);
    ::close(fd);
    return -1;
  }
  if ((truncate && ::ftruncate(fd, 0) != 0) || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    why = Reason(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string WriteTarget(const std::string& path, LinkPolicy links, std::string& why) {
  why.clear();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return path;
    why = Reason(errno);
    return {};
  }
  if (S_ISREG(st.st_mode)) return path;
  if (!S_ISLNK(st.st_mode) || links == LinkPolicy::Refuse) {
    why = NotRegular(st.st_mode);
    return {};
  }
  // The kernel follows the link (and applies protected_symlinks); /proc then
  // names the file it reached.
  int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  }
  if (fd < 0) {
    why = Reason(errno);
    return {};
  }
  std::string target;
  if (::fstat(fd, &st) != 0) {
    why = Reason(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "a symbolic link to " + KindOf(st.st_mode) + ", not to a regular file";
  } else {
    char buf[PATH_MAX];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(proc.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf || buf[0] != '/') {
      why = "cannot tell where the symbolic link leads (no /proc)";
    } else {
      target.assign(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return target;
}

std::string ReplaceFileContent(const std::string& path, std::string_view data, LinkPolicy links) {
  std::string why;
  const std::string target = WriteTarget(path, links, why);
  if (target.empty()) return why;
  struct stat old {};
  const bool exists = ::lstat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) return NotRegular(old.st_mode);
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    // A file marked read-only stays unwritten, as with an in-place write.
    return errno == EACCES ? "read-only (" + Reason(errno) + ")" : Reason(errno);
  }

  std::string tmp;
  const int fd = CreatePrivateTemp(DirName(target), BaseName(target), tmp);
  if (fd < 0) {
    const int err = errno;
    if (exists && (err == EACCES || err == EPERM)) return RewriteInPlace(target, old, data);
    return Reason(err);
  }
  int err = 0;
  auto step = [&err](bool ok) {
    if (!ok && err == 0) err = errno != 0 ? errno : EIO;
    return ok;
  };
  auto abandon = [&] {
    ::close(fd);
    ::unlink(tmp.c_str());
  };
  if (exists) {
    struct stat mine {};
    if (::fstat(fd, &mine) != 0) {
      err = errno;
      abandon();
      return Reason(err);
    }
    if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Only a privileged process may give a file away: keep the owner by
      // writing into the file itself.
      abandon();
      return RewriteInPlace(target, old, data);
    }
  }
  const mode_t mode = exists ? (old.st_mode & 07777) : (0666 & ~CurrentUmask());
  errno = 0;
  bool ok = step(WriteAllTo(fd, data)) && step(::fchmod(fd, mode) == 0);
  // The data must be on disk before the rename makes it the file, or a power
  // cut could leave an empty file under the old name.
  ok = ok && step(::fdatasync(fd) == 0);
  if (!step(::close(fd) == 0)) ok = false;
  ok = ok && step(::rename(tmp.c_str(), target.c_str()) == 0);
  if (!ok) {
    ::unlink(tmp.c_str());
    return Reason(err);
  }
  return {};
}

std::string ReadWholeFile(const std::string& path, std::uint64_t maxBytes, std::string& data, bool allowPipe) {
  data.clear();
  const auto tooLarge = [&] {
    return "larger than " + (maxBytes % (1 << 20) == 0 ? std::to_string(maxBytes >> 20) + " MiB"
                                                        : std::to_string(maxBytes) + " bytes");
  };
  const auto refused = [&](mode_t mode) {
    return KindOf(mode) + (allowPipe ? ", not a regular file or a pipe" : ", not a regular file");
  };
  struct stat st {};
  // Nothing but a file or a pipe is opened: opening a device can act on it.
  if (::stat(path.c_str(), &st) != 0) return Reason(errno);
  if (!S_ISREG(st.st_mode) && !(allowPipe && S_ISFIFO(st.st_mode))) return refused(st.st_mode);
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Reason(errno);
  std::string why;
  if (::fstat(fd, &st) != 0) {
    why = Reason(errno);
  } else if (S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) why = tooLarge();
  } else if (!(allowPipe && S_ISFIFO(st.st_mode))) {
    why = refused(st.st_mode);
  } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    why = Reason(errno);
  }
  if (!why.empty()) {
    ::close(fd);
    return why;
  }
  // One byte more than the size tells a file that grew meanwhile without a
  // reallocation in the common case.
  std::size_t got = 0;
  data.resize(S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) + 1 : std::size_t{64} << 10);
  for (;;) {
    if (got == data.size()) {
      if (got > maxBytes) break;
      data.resize(std::min<std::uint64_t>(data.size() * 2, maxBytes + 1));
    }
    const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      why = Reason(errno);
      break;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (why.empty() && got > maxBytes) why = tooLarge();
  data.resize(why.empty() ? got : 0);
  if (!why.empty()) data.shrink_to_fit();
  return why;
}

std::string FlockHolder(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    // "1: FLOCK  ADVISORY  WRITE 1234 08:02:1311 0 EOF"; "1: -> FLOCK ..." is a waiter.
    std::istringstream in(line);
    std::string number, kind, mode, access, pid, where;
    if (!(in >> number >> kind) || kind != "FLOCK" || !(in >> mode >> access >> pid >> where)) continue;
    const auto colon = where.find_last_of(':');
    if (colon == std::string::npos || where.substr(colon + 1) != std::to_string(st.st_ino)) continue;
    std::ifstream commFile("/proc/" + pid + "/comm");
    std::string comm;
    std::getline(commFile, comm);
    return "process " + pid + (comm.empty() ? std::string() : " (" + comm + ")");
  }
  return {};
}

FileLock::FileLock(const std::string& target, std::chrono::milliseconds wait) {
  lockPath_ = DirName(target) + "/." + BaseName(target) + ".lock";
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    fd_ = ::open(lockPath_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      // No lock file where this user may not write: the write says why it fails.
      if (errno == ELOOP) error_ = "the lock " + lockPath_ + " is " + NotRegular(S_IFLNK);
      return;
    }
    struct stat held {};
    if (::fstat(fd_, &held) != 0 || !S_ISREG(held.st_mode)) {
      error_ = "the lock " + lockPath_ + " is " + NotRegular(held.st_mode);
      ::close(fd_);
      fd_ = -1;
      return;
    }
    auto pause = std::chrono::milliseconds(2);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
        if (errno == EWOULDBLOCK) {
          const std::string holder = FlockHolder(fd_);
          const auto ms = wait.count();
          error_ = "the lock " + lockPath_ + " is held by " + (holder.empty() ? "another process" : holder) +
                   " (waited " + (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms") +
                   ")";
        } else {
          error_ = "cannot lock " + lockPath_ + ": " + Reason(errno);
        }
        ::close(fd_);
        fd_ = -1;
        return;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    // The holder before us removes the file before it lets go: a lock on a
    // removed file protects nothing, so take the file that is there now.
    struct stat named {};
    if (::stat(lockPath_.c_str(), &named) == 0 && SameFile(held, named)) return;
    ::close(fd_);
    fd_ = -1;
  }
  error_ = "cannot lock " + lockPath_ + ": it keeps being replaced";
}

FileLock::~FileLock() {
  if (fd_ < 0) return;
  ::unlink(lockPath_.c_str());
  ::close(fd_);  // releases the lock
}

}  // namespace facset

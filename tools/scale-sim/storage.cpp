#include "storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace facset::sim {

namespace {

// A new file beside `path`: mkstemp picks an unpredictable name and creates
// it with O_EXCL, so nothing planted can stand in for it.
int CreateBeside(const std::string& path, std::string& tmp) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  const std::string pattern = dir + "/.scale-sim-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  ::fchmod(fd, 0644);
  tmp = name.data();
  return fd;
}

}  // namespace

int CreateReplacing(const std::string& path) {
  std::string tmp;
  const int fd = CreateBeside(path, tmp);
  if (fd < 0) return -1;
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool ReplaceWith(const std::string& path, const void* data, std::size_t n) {
  std::string tmp;
  const int fd = CreateBeside(path, tmp);
  if (fd < 0) return false;
  const auto* p = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < n) {
    const ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<std::size_t>(w);
  }
  ok = ::close(fd) == 0 && ok;
  // Replace the file as a whole so a reader never sees half a block.
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

}  // namespace facset::sim

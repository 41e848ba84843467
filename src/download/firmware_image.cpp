#include "download/firmware_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "download/sha256.h"
#include "protocol/pbus_commands.h"

namespace facset {
namespace {

std::string TooLarge(std::int64_t size) {
  return std::to_string(size) + " bytes is more than the " + std::to_string(pbus::kMaxImageBytes) +
         " the scale's block numbers reach";
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::int64_t FirmwareImage::blocks() const { return pbus::ImageBlocks(size()); }
std::int64_t FirmwareImage::blocksToSend() const {
  return std::max<std::int64_t>(0, blocks() - pbus::kFirstImageBlock);
}

ImageLoad LoadFirmwareImage(const std::string& path) {
  ImageLoad out;
  auto cannot = [&out](std::string why) {
    out.failure = StepOutcome::CannotRead;
    out.why = std::move(why);
    return out;
  };
  out.image.path = path;
  struct stat named {};
  if (path.empty() || ::stat(path.c_str(), &named) != 0 || S_ISDIR(named.st_mode)) {
    out.failure = StepOutcome::NoFile;
    return out;
  }
  // Non-blocking for the open only: a named pipe must not stall the run.
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return cannot(std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return cannot(std::strerror(errno));
  // A device or a pipe has no size to divide into blocks.
  if (!S_ISREG(st.st_mode)) return cannot("not a regular file");
  if (st.st_size > pbus::kMaxImageBytes) return cannot(TooLarge(st.st_size));
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);

  // The file may grow while it is read: one byte past the limit tells.
  std::vector<std::uint8_t>& bytes = out.image.bytes;
  bytes.resize(static_cast<std::size_t>(std::min<std::int64_t>(st.st_size, pbus::kMaxImageBytes)) + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (bytes.size() > static_cast<std::size_t>(pbus::kMaxImageBytes)) break;
      bytes.resize(std::min<std::size_t>(bytes.size() * 2, static_cast<std::size_t>(pbus::kMaxImageBytes) + 1));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return cannot(std::strerror(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > static_cast<std::size_t>(pbus::kMaxImageBytes)) return cannot(TooLarge(static_cast<std::int64_t>(got)));
  bytes.resize(got);
  out.image.sha256 = Sha256Hex(bytes.data(), bytes.size());
  return out;
}

}  // namespace facset

#include "download/preflight.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/pbus_commands.h"
#include "params/param_model.h"
#include "platform/ini_file.h"
#include "platform/text_rules.h"

namespace facset {

namespace {

// Opens `path` for reading if it is a regular file; -1 and `why` otherwise.
int OpenRegular(const std::string& path, struct stat& st, std::string& why) {
  // Non-blocking: a FIFO in place of the file must not stall the check.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    why = path + ": " + std::strerror(errno);
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = path + (S_ISDIR(st.st_mode) ? ": is a directory" : ": not a regular file");
    ::close(fd);
    return -1;
  }
  return fd;
}

bool HasNulByte(int fd) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (std::memchr(buf, '\0', static_cast<std::size_t>(n)) != nullptr) return true;
  }
}

}  // namespace

bool IsDottedQuad(std::string_view text) {
  // inet_pton takes exactly the strict form: four parts, no leading zeros,
  // no blanks. It reads a C string, so a NUL inside would cut the text short.
  if (text.find('\0') != std::string_view::npos) return false;
  const std::string s(text);
  in_addr addr{};
  return ::inet_pton(AF_INET, s.c_str(), &addr) == 1;
}

std::string CheckReadableRegularFile(const std::string& path) {
  struct stat st {};
  std::string why;
  const int fd = OpenRegular(path, st, why);
  if (fd >= 0) ::close(fd);
  return why;
}

std::string CheckParamFile(const std::string& path) {
  struct stat st {};
  std::string why;
  const int fd = OpenRegular(path, st, why);
  if (fd < 0) return why;
  const std::string notParams = "not a parameter file: " + path;
  if (static_cast<std::uint64_t>(st.st_size) > kIniMaxFileSize) {
    ::close(fd);
    return notParams + " (larger than " + std::to_string(kIniMaxFileSize >> 20) + " MiB)";
  }
  // A binary (an image given by mistake) holds NUL bytes; no INI file does.
  const bool binary = HasNulByte(fd);
  ::close(fd);
  if (binary) return notParams;
  try {
    const IniFile ini(path);
    constexpr std::string_view kAbsent = "\x01";
    for (std::string_view key : ByteKeys) {
      if (ini.ReadString("factory", key, kAbsent) != kAbsent) return {};
    }
  } catch (const EIniError&) {
    return notParams;
  }
  return notParams;
}

std::string CheckFirmwareImage(const std::string& path, FirmwareImageInfo* info) {
  if (path.empty()) return "no firmware image named";
  struct stat st {};
  std::string why;
  const int fd = OpenRegular(path, st, why);
  if (fd < 0) return "firmware image " + why;
  ::close(fd);
  const std::int64_t size = st.st_size;
  const std::int64_t blocks = pbus::ImageBlocks(size);
  if (size == 0) return "firmware image " + path + ": empty";
  if (blocks > pbus::kMaxImageBlocks) {
    return "firmware image " + path + ": " + std::to_string(size) + " bytes, more than the " +
           std::to_string(pbus::kMaxImageBytes) + " the upgrade can number";
  }
  if (info) *info = {size, blocks};
  return {};
}

std::string CheckLinkTarget(const DownloadTarget& target) {
  if (const auto* s = std::get_if<SerialTarget>(&target)) {
    struct stat st {};
    const std::string what = "serial port " + s->listName + (s->device == s->listName ? "" : ": " + s->device);
    if (::stat(s->device.c_str(), &st) != 0) return what + ": " + std::strerror(errno);
    if (!S_ISCHR(st.st_mode)) return what + ": not a character device";
    // Opened and let go at once, without waiting for a carrier. A port another
    // program holds exclusively is left to the run, whose lock names a holder
    // of this station and waits for it.
    const int fd = ::open(s->device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == EBUSY) return {};
      const int e = errno;
      return what + ": cannot be opened: " + std::strerror(e) +
             (e == EACCES ? " (serial ports belong to the group dialout: sudo usermod -aG dialout $USER, then log in again)"
                          : "");
    }
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    if (!terminal) return what + ": not a terminal, so no serial port";
    return {};
  }
  const std::string& ip = std::get<UdpTarget>(target).address;
  if (!IsDottedQuad(ip)) return "not an IPv4 address: \"" + ip + "\"";
  return {};
}

std::string PreflightDownload(const DownloadRequest& request, FirmwareImageInfo* info) {
  if (std::string why = CheckLinkTarget(request.target); !why.empty()) return why;
  if (request.firmware) return CheckFirmwareImage(*request.firmware, info);
  return {};
}

}  // namespace facset

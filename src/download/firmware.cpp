#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "download/firmware.h"
#include "lang/catalog_format.h"
#include "lang/lang.h"
#include "params/param_math.h"
#include "platform/text_encoding.h"
#include "protocol/pbus.h"
#include "protocol/pbus_commands.h"

namespace facset {

namespace {
constexpr std::int64_t kBlockSize = 256;
constexpr std::int64_t kFirstSentBlock = pbus::kFirstImageBlock;  // blocks 0..31 (8 KiB) are never sent
// The block number travels in a 16-bit argument: a larger image would wrap
// onto the start (15/0) and finish (15/1) requests.
constexpr std::int64_t kMaxBlocks = std::int64_t{pbus::kLastImageBlock} + 1;
constexpr std::uint16_t kVerificationWord = 0;

// The image file, closed on every way out.
class ImageFile {
 public:
  // Non-blocking for the open only: a named pipe must not stall the run.
  explicit ImageFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  }
  ~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  int fd() const { return fd_; }

  // Up to 256 bytes into `dst`; a short read at the end fills only the first
  // bytes. -1 on a read error.
  ssize_t ReadBlock(std::uint8_t* dst) {
    std::size_t got = 0;
    while (got < kBlockSize) {
      const ssize_t n = ::read(fd_, dst + got, kBlockSize - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
  }

 private:
  int fd_ = -1;
};

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string CannotRead(const std::string& path, const std::string& why) {
  return "Cannot read the firmware file " + Utf8ToGbk(path) + ": " + why;
}
std::string CannotRead(const std::string& path, int err) { return CannotRead(path, std::strerror(err)); }

// The local date and time of the report line: "2025-12-10 01:09:00".
std::string ReportTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return buf;
}
}  // namespace

FirmwareResult UpgradeFirmware(const FirmwareRun& run, const std::string& path) {
  if (path.empty() || !FileExists(path)) return FirmwareResult::NoFile;
  DownloadHost& host = run.host;
  TPBusComm& engine = run.engine;
  const auto aborted = [&run] { return run.aborted && run.aborted(); };

  // Opened before the scale is asked into its upgrade mode, so that an image
  // that cannot be read leaves the scale as it was, and says so.
  ImageFile image(path);
  struct stat st {};
  if (image.fd() < 0 || ::fstat(image.fd(), &st) != 0) {
    host.AppendLine(CannotRead(path, errno));
    return FirmwareResult::CannotRead;
  }
  if (!S_ISREG(st.st_mode)) {
    // A device or a pipe has no size to divide into blocks.
    host.AppendLine(CannotRead(path, "not a regular file"));
    return FirmwareResult::CannotRead;
  }
  if (CeilDiv(st.st_size, kBlockSize) > kMaxBlocks) {
    host.AppendLine(CannotRead(path, std::to_string(st.st_size) + " bytes is more than the " +
                                         std::to_string(kMaxBlocks * kBlockSize) + " the scale's block numbers reach"));
    return FirmwareResult::CannotRead;
  }

  std::array<std::uint8_t, pbus::kBlockSize> data{};
  // The low four digits of the access code as packed BCD, least significant
  // pair first; 0x10 asks for the upgrade mode.
  std::uint8_t code[4];
  IdToBcdLsbFirst(static_cast<std::uint32_t>(pbus::kAccessCode), code);
  data[0] = code[0];
  data[1] = code[1];
  data[2] = pbus::kUpgradeEntryMode;
  if (!engine.ReadBlock(pbus::kCmdSession, pbus::kArgUpgradeEntry, data)) {
    if (aborted()) return FirmwareResult::Aborted;
    host.AppendLine(LangCatalog("sConnectFail"));
    return FirmwareResult::EntryFailed;
  }
  if (aborted()) return FirmwareResult::Aborted;

  if (!engine.StartUpgrade(0)) {
    if (aborted()) return FirmwareResult::Aborted;
    host.AppendLine(kMsgStartCommandError);
    if (!engine.Connect(pbus::kAccessCode) || aborted() || !engine.StartUpgrade(0)) {
      if (aborted()) return FirmwareResult::Aborted;
      host.AppendLine(kMsgReconnectError);
      return FirmwareResult::StartFailed;
    }
  }
  if (aborted()) return FirmwareResult::Aborted;
  host.AppendLine(LangCatalog("sStartUpdating"));

  if (::lseek(image.fd(), 0, SEEK_SET) != 0) {
    host.AppendLine(CannotRead(path, errno));
    return FirmwareResult::CannotRead;
  }
  const std::int64_t n = CeilDiv(st.st_size, kBlockSize);
  // Looked up once: the text cannot change during the run.
  const std::string progressFormat = LangCatalog("sUpdate");
  bool failed = false;
  for (std::int64_t k = 0; k < n; ++k) {
    const std::string progress = FormatCatalog(progressFormat, {k + 1, n});
    if (k < 2) {
      host.AppendLine(progress);
    } else {
      host.ReplaceLastLine(progress);
    }
    if (k % 30 == 0) host.ProcessEvents();
    if (aborted()) return FirmwareResult::Aborted;

    // The rest of a short last block keeps what the buffer held.
    if (image.ReadBlock(data.data()) < 0) {
      host.AppendLine(CannotRead(path, errno));
      return FirmwareResult::CannotRead;
    }
    if (k < kFirstSentBlock) {
      host.FirmwareProgress(k + 1, n);
      continue;
    }
    if (k == n - 1) {
      data[254] = static_cast<std::uint8_t>(kVerificationWord & 0xFF);
      data[255] = static_cast<std::uint8_t>(kVerificationWord >> 8);
    }
    if (!engine.WriteBlock(pbus::kCmdUpgrade, static_cast<std::uint16_t>(k), data)) {
      failed = true;
      break;
    }
    host.FirmwareProgress(k + 1, n);
  }
  if (aborted()) return FirmwareResult::Aborted;
  if (failed) {
    host.AppendLine(LangCatalog("sCommunicationerror"));
    return FirmwareResult::BlockFailed;
  }

  host.AppendLine(LangCatalog("sDisconnect"));
  if (!engine.FinishUpgrade(kVerificationWord)) {
    if (aborted()) return FirmwareResult::Aborted;
    host.AppendLine(LangCatalog("sDisconnectError"));
    return FirmwareResult::FinishFailed;
  }
  if (aborted()) return FirmwareResult::Aborted;

  host.AppendLine(LangCatalog("sUpdatecompleted"));
  host.AppendLine("\r\n\r\n" + LangCatalog("sLastUpdatetime") + ReportTimeText());
  const std::uint8_t versionField[2] = {0, 0};
  const std::int64_t version = BcdToInt(versionField, 4);
  host.AppendLine(FormatCatalog(LangCatalog("sProgVerAndCheckSum"), {version, kVerificationWord}));
  host.AppendLine(kMsgReportRule);
  host.AppendLine(kMsgReportRule);
  return FirmwareResult::Completed;
}

}  // namespace facset

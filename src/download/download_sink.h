#pragma once
// Where a download's lines and progress go: the window's log and bar, or
// facset-cli's output. Texts are GBK bytes, as the catalog holds them.

#include <cstdint>
#include <string_view>

namespace facset {

class DownloadSink {
 public:
  virtual ~DownloadSink() = default;
  // One message line; CR LF inside it starts new lines of the log.
  virtual void AppendLine(std::string_view gbk) = 0;
  // Rewrites the last line (the upgrade's progress).
  virtual void ReplaceLastLine(std::string_view gbk) = 0;
  // `done` of `total` image blocks handled, as the log counts them; called
  // after each block.
  virtual void FirmwareProgress(std::int64_t done, std::int64_t total) {
    (void)done;
    (void)total;
  }
  // Lets pending events (repaints, input) run once; the upgrade calls it
  // every 30 blocks.
  virtual void ProcessEvents();
};

}  // namespace facset

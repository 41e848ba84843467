#pragma once
// facset-cli download's output: the log lines as they reach stdout, and the
// log as the window's would end, for --json and the record.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/download_sink.h"
#include "download/run_settings.h"

namespace facset::cli {

// Each line is written and flushed as soon as it is complete. On a terminal
// the progress line is rewritten in place (at most every 50 ms, the last text
// always lands) with blocks, percent, rate and time left; elsewhere the
// progress text is written as a line of its own each time another tenth of
// the image is done. With `quiet` (--json) nothing is written.
class Printer : public DownloadSink {
 public:
  Printer(bool gbk, bool quiet);
  ~Printer() override;

  void AppendLine(std::string_view gbk) override;
  void ReplaceLastLine(std::string_view gbk) override;
  void FirmwareProgress(std::int64_t done, std::int64_t total) override;

  // A line of this program's own, already UTF-8: kept as it is, whatever GBK can hold.
  void AppendUtf8(const std::string& utf8);
  // Ends the open line.
  void Finish();

  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::string Shown(std::string_view gbk) const;
  std::string Escaped(const std::string& text) const;
  void Add(const std::string& utf8, const std::string& shown);
  void Settle();
  void ShowInPlace();
  void Put(const std::string& s);

  bool gbk_, quiet_, tty_;
  bool open_ = false;
  bool hasPending_ = false;
  std::string pending_;
  std::vector<std::string> lines_;
  std::size_t lastStart_ = 0;
  ProgressThrottle throttle_;
  bool started_ = false;
  std::chrono::steady_clock::time_point since_{};
  std::int64_t done_ = 0, total_ = 0, tenthShown_ = 0;
};

}  // namespace facset::cli

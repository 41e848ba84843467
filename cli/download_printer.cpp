#include "download_printer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "download/firmware_image.h"
#include "output.h"
#include "platform/text_encoding.h"
#include "protocol/pbus_commands.h"
#include "platform/text_rules.h"
#include "records/download_record.h"

namespace facset::cli {

Printer::Printer(bool gbk, bool quiet) : gbk_(gbk), quiet_(quiet), tty_(!quiet && ::isatty(STDOUT_FILENO) == 1) {}

Printer::~Printer() { Finish(); }

void Printer::AppendLine(std::string_view gbk) { Add(GbkToUtf8(ToLfBreaks(gbk)), Shown(gbk)); }

void Printer::AppendUtf8(const std::string& utf8) { Add(utf8, gbk_ ? Utf8ToGbk(utf8) : utf8); }

void Printer::ReplaceLastLine(std::string_view gbk) {
  if (lastStart_ >= lines_.size()) return AppendLine(gbk);
  lines_.resize(lastStart_);
  AddLogLines(lines_, GbkToUtf8(ToLfBreaks(gbk)));
  pending_ = Escaped(Shown(gbk));
  hasPending_ = true;
  if (tty_ && throttle_.Due()) ShowInPlace();
}

void Printer::FirmwareProgress(std::int64_t done, std::int64_t total) {
  if (!started_) {
    started_ = true;
    since_ = std::chrono::steady_clock::now();
  }
  done_ = done;
  total_ = total;
  if (tty_ || !hasPending_ || total <= 0) return;
  const std::int64_t tenth = done * 10 / total;
  if (tenth > tenthShown_ || done == total) {
    tenthShown_ = tenth;
    Put(pending_ + "\n");
    hasPending_ = false;
  }
}

void Printer::Finish() {
  Settle();
  if (open_) Put("\n");
  open_ = false;
}

std::string Printer::Shown(std::string_view gbk) const {
  std::string s = ToLfBreaks(gbk);
  return gbk_ ? s : GbkToUtf8(s);
}

// Lines name files: their control characters are shown, never obeyed.
std::string Printer::Escaped(const std::string& text) const {
  return EscapeForTerminal(text, {.keepNewlines = true, .gbk = gbk_});
}

void Printer::Add(const std::string& utf8, const std::string& shown) {
  const std::string text = Escaped(shown);
  Settle();
  lastStart_ = lines_.size();
  AddLogLines(lines_, utf8);
  if (tty_) {
    // The last line stays open, to be rewritten by a progress update.
    Put(open_ ? "\n" + text : text);
    open_ = true;
  } else {
    Put(text + "\n");
  }
}

// The last progress text is final once another line follows.
void Printer::Settle() {
  if (!hasPending_) return;
  if (tty_) {
    Put("\r\x1b[K" + pending_);
  } else {
    Put(pending_ + "\n");
  }
  hasPending_ = false;
}

void Printer::ShowInPlace() {
  std::string line = "\r\x1b[K" + pending_;
  const std::int64_t sent = std::max<std::int64_t>(0, done_ - std::int64_t{pbus::kFirstImageBlock});
  const std::int64_t toSend = std::max<std::int64_t>(0, total_ - std::int64_t{pbus::kFirstImageBlock});
  if (started_ && toSend > 0) {
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - since_).count();
    const ProgressFigures f = FigureProgress(sent, toSend, secs);
    line += "  blocks " + f.blocks + "  " + std::to_string(f.percent) + "%";
    if (!f.rate.empty()) line += "  " + f.rate + "  " + f.left + " left";
  }
  Put(line);
}

void Printer::Put(const std::string& s) {
  if (!quiet_) Stdout().Write(s);
}

}  // namespace facset::cli

#pragma once
// Where facset-cli's download writes: stdout and stderr as plain descriptors.
// SIGPIPE is ignored for the whole program, so a reader that went away, a full
// disk or a terminal that was closed shows up as a failed write, never as the
// end of the process: a run goes on to its end and its record whatever became
// of its output. The first failure of a stream is noted once on stderr (when
// stderr can still be written); later writes to that stream are dropped.

#include <string>
#include <string_view>

namespace facset::cli {

class OutputStream {
 public:
  // `name` names the stream in the note ("stdout"); `notes` is where the
  // failure is noted (null: nowhere, e.g. for stderr itself).
  OutputStream(int fd, std::string name, OutputStream* notes = nullptr);
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Writes all of `s`; false once the stream has failed (then nothing is written).
  bool Write(std::string_view s);
  bool failed() const { return failed_; }
  // Why the stream failed: "No space left on device"; "" while it has not.
  const std::string& why() const { return why_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string name_;
  OutputStream* notes_;
  bool failed_ = false;
  std::string why_;
};

// The program's own streams: descriptors 1 and 2; a failure of stdout is noted on stderr.
OutputStream& Stdout();
OutputStream& Stderr();

// A pipe whose reader is gone must not end the program (see above); called first thing in main.
void IgnoreBrokenPipes();

}  // namespace facset::cli

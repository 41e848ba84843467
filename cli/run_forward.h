#pragma once
// A download's record on its way to the factory database, when one is
// configured: the connection is made while the run goes on, the record sent
// once it is kept in the station database. The run never waits long for it:
// a server that answers gets 2 s, one that has not answered by the end of the
// run 50 ms; what is not sent by then waits for the next forwarding.

#include <memory>
#include <string>

namespace facset {
class BackgroundForward;
}

namespace facset::cli {

class RunForward {
 public:
  // Starts connecting; with no factory database configured it does nothing.
  // An unusable setting is said on stderr (the download goes on).
  explicit RunForward(const std::string& folder);
  ~RunForward();
  RunForward(const RunForward&) = delete;
  RunForward& operator=(const RunForward&) = delete;

  // The run's record is kept: sends what waits, within the bounds above; a
  // record left waiting is said on stderr.
  void RecordKept();

 private:
  std::unique_ptr<BackgroundForward> forward_;
};

}  // namespace facset::cli

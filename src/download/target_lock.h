#pragma once
// One scale, one process: a station-wide lock per target, held for a whole
// run by facset-cli and the window alike. The target is the scale's address
// and port, or the serial device itself (its device number), so that a list
// name, a /dev path and a link to the same device are one target.
//
// The locks are flock(2) locks on files in the station's shared lock folder
// (/run/lock, else /var/lock or /tmp: a root-owned folder with the sticky
// bit, so no user can plant or replace another's files). A file is opened
// without following links and must be a regular file. Who holds a lock is read
// from the kernel's own table (/proc/locks), never from the file.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "download/download_request.h"

namespace facset {

class TargetLock {
 public:
  ~TargetLock();
  TargetLock(const TargetLock&) = delete;
  TargetLock& operator=(const TargetLock&) = delete;

  struct Taken {
    std::unique_ptr<TargetLock> lock;  // held until it goes
    // Why there is no lock: the target is held by another process (named), or
    // the wait was given up. Empty with a lock, or when the station has no
    // usable lock folder (then `warning` says so and the run goes on).
    std::string refusal;
    bool gaveUp = false;  // keepWaiting ended the wait
    std::string warning;
  };

  // Takes the lock of `target`, waiting up to `wait` for another holder to
  // let go. `keepWaiting` runs between tries (the window processes its events
  // there); returning false gives the wait up.
  static Taken Take(const DownloadTarget& target, std::chrono::milliseconds wait,
                    const std::function<bool()>& keepWaiting = {});

 private:
  explicit TargetLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The lock's name for a target: "udp-127.0.0.2-5001", "serial-dev-136-3".
std::string TargetLockKey(const DownloadTarget& target);

// The shared folder the locks live in, "" when the station has none fit for it.
std::string TargetLockFolder();

}  // namespace facset

#pragma once
// Writing files without being turned against their user: what a write finds at
// its path must be a regular file or nothing. A symbolic link the tool did not
// expect, a FIFO or a device planted there is refused with a reason, never
// followed, truncated or waited on. Files the operator names may be links: they
// are followed by the kernel (so its protected_symlinks rules hold) and written
// through with the target's owner and mode.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace facset {

// How a write treats a symbolic link at its path.
enum class LinkPolicy {
  Refuse,  // the tool's own files: a link is refused
  Follow,  // a file the operator named: the link is followed, the target written
};

// Why a file of this kind (st_mode) is not written: "a FIFO, not a regular file".
std::string NotRegularReason(mode_t mode);

// "" when `path` is a regular file or absent, else why it must not be written
// ("a symbolic link", "a FIFO", "a device", "a folder", ...). Never opens it.
std::string CheckRegularOrAbsent(const std::string& path);

// Opens `path` for writing when it is a regular file or absent (then created
// with `mode`, less the umask): no link followed, no FIFO or device opened, no
// blocking. `truncate` empties an existing file once it is known to be regular.
// Returns the descriptor (close-on-exec), or -1 with `why` set.
int OpenRegularForWrite(const std::string& path, bool truncate, std::string& why, mode_t mode = 0666);

// Writes all of `data` into `fd` from offset `at` on (through EINTR and short
// writes); false with errno set when it cannot.
bool WriteAllTo(int fd, std::string_view data, off_t at = 0);

// The regular file a write of `path` replaces: `path` itself, or for
// LinkPolicy::Follow the target of a link as the kernel resolves it (an absent
// target is created empty, as writing through the link would). Empty with
// `why` set when the path must not be written.
std::string WriteTarget(const std::string& path, LinkPolicy links, std::string& why);

// Replaces the whole content of `path` by `data`: a regular file or absent path
// (or, with Follow, a link's target). A new file of an unpredictable name is
// made beside the target with mode 0600 before any byte is written; it receives
// the old file's mode (a new file: 0666 less the umask) and owner, reaches the
// disk, and is renamed over the target. When the owner cannot be kept (another
// user's file, shared through its group) or no file can be made beside it, the
// target is rewritten in place instead, so that it keeps its owner and mode.
// Returns "" or why nothing was changed.
std::string ReplaceFileContent(const std::string& path, std::string_view data, LinkPolicy links);

// Reads a whole regular file (a pipe too with `allowPipe`) of at most `maxBytes`
// without blocking on a FIFO that no one writes to (unless allowPipe). Returns
// "" with the bytes in `data`, or why not ("larger than N MiB", "a folder", ...).
std::string ReadWholeFile(const std::string& path, std::uint64_t maxBytes, std::string& data,
                          bool allowPipe = false);

// An advisory lock (flock) on a hidden file ".NAME.lock" beside `target`, held
// while the object lives and removed when it ends. Waits at most `wait`.
class FileLock {
 public:
  FileLock(const std::string& target, std::chrono::milliseconds wait);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // True when held, or when no lock file can be made (a folder this user may
  // not write: the write then fails on its own). Else `error()` says why, naming
  // the lock file and, when it can be read, the process holding it.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return lockPath_; }

 private:
  std::string lockPath_;
  std::string error_;
  int fd_ = -1;
};

// The process holding a flock on the open file `fd`, as "process 123 (name)",
// or "" when it cannot be read.
std::string FlockHolder(int fd);

}  // namespace facset

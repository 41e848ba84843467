#pragma once
// One scratch file per fuzzer process, on tmpfs where there is one: every input
// is written to it before the INI layer reads it.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "support/temp_files.h"

namespace facset::fuzzing {

inline void Backdate(const std::string& path) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 3600;
  times[1] = times[0];
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline std::string& ScratchDir() {
  static std::string dir;
  return dir;
}

// The folder goes when the process ends normally; a crash leaves it for a look.
inline void RemoveScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(ScratchDir(), ec);
}

inline const std::string& ScratchFile() {
  static const std::string path = [] {
    std::string tmpl = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/facset-fuzz-XXXXXX");
    if (!::mkdtemp(tmpl.data())) std::abort();
    ScratchDir() = tmpl;
    std::atexit(RemoveScratchDir);
    return tmpl + "/f.ini";
  }();
  return path;
}

// Writes `bytes` as the scratch file (or `path`), stamped an hour ago: a file
// stamped within the last second is compared byte for byte on every read, which
// would spend the run on re-reading instead of parsing.
inline void PutFile(const std::string& path, const std::string& bytes) {
  testing::WriteFileBytes(path, bytes);
  Backdate(path);
}

}  // namespace facset::fuzzing

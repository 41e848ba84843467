#pragma once
// INI files with the semantics of the Windows private-profile functions, on any
// POSIX system. Texts are byte strings (GBK for the Chinese catalog); nothing is
// ever converted.
//
// The file is held as an indexed model; every call first checks the file's stat
// identity (and, for a file stamped within the last second, its bytes), so
// changes made by other programs are seen without re-parsing on every lookup.
// Section and key names are trimmed before they are matched or written. A write
// whose section, key or value holds a line break, or whose line would not read
// back as that key (a key with "=", "[x]"), is refused with EIniError.
// A file the operator names may be a symbolic link: the kernel follows it and
// its target is written, keeping its owner and mode; the tool's own files
// (LinkPolicy::Refuse) are written only as regular files. A FIFO or device is
// never written. One object is used from one thread at a time.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/safe_files.h"

namespace facset {

// Files larger than this are no INI file of this tool (a parameter file of all
// 255 bytes with long texts is below 100 KiB): refused before they are read.
inline constexpr std::uint64_t kIniMaxFileSize = std::uint64_t{16} << 20;

// How long a write waits for another process's write to the same file.
inline constexpr std::chrono::milliseconds kIniLockWait{10000};
// For tests: another bound for the wait.
void SetIniLockWait(std::chrono::milliseconds wait);

// Raised when a write cannot be carried out; the message is "Unable to write to
// <path>", then ": " and the reason when one is known.
class EIniError : public std::runtime_error {
 public:
  explicit EIniError(const std::string& path, const std::string& reason = {});
  const std::string& path() const { return path_; }

 protected:
  EIniError(const std::string& path, const std::string& message, int);

 private:
  std::string path_;
};

// Raised by reads and writes of a file over kIniMaxFileSize: such a file is
// never taken for an empty one.
class EIniTooLarge : public EIniError {
 public:
  explicit EIniTooLarge(const std::string& path);
};

// Longest value a read returns; longer values are cut here.
inline constexpr std::size_t kIniMaxValue = 2047;

class IniFile {
 public:
  // Opening does not create the file. The tool's own files (facconfig.ini, the
  // language file) pass LinkPolicy::Refuse; files the operator names keep Follow.
  explicit IniFile(std::string path, LinkPolicy links = LinkPolicy::Follow);
  ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  const std::string& path() const { return path_; }

  // Missing file, section or key gives `def`; an existing empty value gives "".
  // A leading UTF-8 BOM is no part of the first line (and is kept by writes).
  // Throws EIniTooLarge for a file over kIniMaxFileSize.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  // The value ReadString gives, or nullopt when the file, section or key does
  // not exist: tells a missing key from any value it could hold.
  std::optional<std::string> FindString(std::string_view section, std::string_view key) const;
  // Decimal with optional sign, or hex after "$", "0x", "0X"; anything else
  // (empty, not an integer, outside int32) gives `def`.
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  // Each write reaches the file at once, as one atomic replacement of it,
  // under an advisory lock (flock on ".NAME.lock" beside the file, there only
  // during the write) so that writers in other processes lose nothing. A lock
  // held past kIniLockWait fails the write, naming the lock and its holder.
  // Throws EIniError; the file is then unchanged.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  // Groups writes: between BeginUpdate and CommitUpdate writes are held in memory
  // (reads see them) and CommitUpdate puts them into the file as one atomic
  // replacement: all or nothing. CancelUpdate drops them. Use IniUpdate.
  // Groups nest: only the outermost CommitUpdate writes, and a CancelUpdate at
  // any depth drops the whole group (later Commit/Cancel calls do nothing).
  // When another program changed the file during a group, the group's writes
  // are applied again on top of its changes.
  void BeginUpdate();
  void CommitUpdate();  // ends the update either way; throws EIniError, the file then unchanged
  void CancelUpdate();
  bool InUpdate() const;

 private:
  struct State;
  std::string LockTarget() const;
  std::string path_;
  LinkPolicy links_;
  std::unique_ptr<State> state_;
};

// Scoped group of writes; cancelled unless Commit() was called.
class IniUpdate {
 public:
  explicit IniUpdate(IniFile& ini) : ini_(ini) { ini_.BeginUpdate(); }
  ~IniUpdate() {
    if (!done_) ini_.CancelUpdate();
  }
  IniUpdate(const IniUpdate&) = delete;
  IniUpdate& operator=(const IniUpdate&) = delete;
  void Commit() {
    done_ = true;
    ini_.CommitUpdate();
  }

 private:
  IniFile& ini_;
  bool done_ = false;
};

}  // namespace facset

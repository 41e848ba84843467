#include "platform/ini_file.h"

#include <sys/file.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <random>
#include <unordered_map>

#include "platform/text_rules.h"

namespace facset {

EIniError::EIniError(const std::string& path, const std::string& reason)
    : std::runtime_error("Unable to write to " + path + (reason.empty() ? "" : ": " + reason)), path_(path) {}

EIniError::EIniError(const std::string& path, const std::string& message, int)
    : std::runtime_error(message), path_(path) {}

EIniTooLarge::EIniTooLarge(const std::string& path)
    : EIniError(path, path + ": larger than " + std::to_string(kIniMaxFileSize >> 20) + " MiB, not a parameter file", 0) {}

namespace {

// ---- Byte-level rules ------------------------------------------------------

inline bool IsBlank(unsigned char c) { return IsBlankByte(c); }
inline std::size_t CharLen(std::string_view s, std::size_t i) { return GbkCharLen(s, i); }
std::string_view Trim(std::string_view s) { return TrimBlanks(s); }
void FoldInto(std::string_view s, std::string& out) { FoldAsciiInto(s, out); }
std::string Fold(std::string_view s) { return FoldAscii(s); }

// ---- Document model ----------------------------------------------------------

enum class LineKind : std::uint8_t { Blank, Header, Key };

struct Line {
  std::string text;  // bytes without the line end
  std::string eol;   // "\r\n", "\n", "\r" or "" (last line without one)
  LineKind kind = LineKind::Blank;
  bool hasValue = false;   // a key line with "="
  std::uint32_t keep = 0;  // bytes kept when the value is replaced (through "=", or the name)
  std::uint32_t valBegin = 0, valEnd = 0;
};

// Classifies `line` and returns the name it carries (section or key; raw, not folded).
std::string_view ParseLine(Line& line) {
  std::string_view s = line.text;
  std::size_t begin = std::string_view::npos, end = 0, eq = std::string_view::npos, rb = std::string_view::npos;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = CharLen(s, i);
    if (n == 1) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (!IsBlank(c)) {
        if (begin == std::string_view::npos) begin = i;
        end = i + 1;
        if (c == '=' && eq == std::string_view::npos) eq = i;
        if (c == ']') rb = i;
      }
    } else {
      if (begin == std::string_view::npos) begin = i;
      end = i + 2;
    }
    i += n;
  }
  line.hasValue = false;
  if (begin == std::string_view::npos) {
    line.kind = LineKind::Blank;
    return {};
  }
  if (s[begin] == '[' && rb != std::string_view::npos) {
    line.kind = LineKind::Header;
    return Trim(s.substr(begin + 1, rb - begin - 1));
  }
  line.kind = LineKind::Key;
  if (eq == std::string_view::npos) {
    line.keep = static_cast<std::uint32_t>(end);
    return s.substr(begin, end - begin);
  }
  line.hasValue = true;
  line.keep = static_cast<std::uint32_t>(eq + 1);
  std::size_t vb = eq + 1;
  while (vb < end && IsBlank(static_cast<unsigned char>(s[vb]))) ++vb;
  line.valBegin = static_cast<std::uint32_t>(vb);
  line.valEnd = static_cast<std::uint32_t>(end);
  return Trim(s.substr(begin, eq - begin));
}

std::string_view ValueOf(const Line& l) {
  return std::string_view(l.text).substr(l.valBegin, l.valEnd - l.valBegin);
}

// A section header and the lines under it. Block 0 holds the lines before the
// first header, which belong to no section.
struct Block {
  std::vector<Line> lines;
  std::unordered_map<std::string, std::uint32_t> keys;  // folded name -> first key line
  std::uint32_t lastKey = 0;                            // last key line, or the header (0)
};

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

struct Document {
  std::vector<Block> blocks;
  bool bom = false;  // the file began with a UTF-8 BOM: skipped on reading, kept on writing
  std::unordered_map<std::string, std::uint32_t> sections;  // folded name -> first block

  void Clear() {
    bom = false;
    blocks.assign(1, Block{});
    sections.clear();
  }

  void AddLine(Line&& line) {
    const std::string_view name = ParseLine(line);
    if (line.kind == LineKind::Header) {
      sections.try_emplace(Fold(name), static_cast<std::uint32_t>(blocks.size()));
      blocks.emplace_back();
      blocks.back().lines.push_back(std::move(line));
      return;
    }
    Block& b = blocks.back();
    const auto idx = static_cast<std::uint32_t>(b.lines.size());
    if (line.kind == LineKind::Key && blocks.size() > 1) {
      b.keys.try_emplace(Fold(name), idx);
      b.lastKey = idx;
    }
    b.lines.push_back(std::move(line));
  }

  void Parse(std::string_view data) {
    Clear();
    bom = data.starts_with(kUtf8Bom);
    if (bom) data.remove_prefix(kUtf8Bom.size());
    std::size_t i = 0;
    const std::size_t n = data.size();
    while (i < n) {
      std::size_t j = i;
      while (j < n && LineBreakLen(data, j) == 0) ++j;
      Line line;
      line.text.assign(data.data() + i, j - i);
      if (j < n) {
        const std::size_t e = LineBreakLen(data, j);
        line.eol.assign(data.data() + j, e);
        j += e;
      }
      AddLine(std::move(line));
      i = j;
    }
  }

  std::string Serialize() const {
    std::size_t total = 0;
    for (const Block& b : blocks)
      for (const Line& l : b.lines) total += l.text.size() + l.eol.size();
    std::string out;
    out.reserve(total + kUtf8Bom.size());
    if (bom) out += kUtf8Bom;
    for (const Block& b : blocks)
      for (const Line& l : b.lines) {
        out += l.text;
        out += l.eol;
      }
    return out;
  }

  Line* LastLine() {
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
      if (!it->lines.empty()) return &it->lines.back();
    return nullptr;
  }

  const Line* Find(const std::string& fsec, const std::string& fkey) const {
    const auto s = sections.find(fsec);
    if (s == sections.end()) return nullptr;
    const Block& b = blocks[s->second];
    const auto k = b.keys.find(fkey);
    return k == b.keys.end() ? nullptr : &b.lines[k->second];
  }
};

// A generated line must read back as what it was written for; otherwise the
// write would plant a different key or section in the file.
bool ReadsBackAs(Line& line, LineKind kind, std::string_view folded) {
  const std::string_view name = ParseLine(line);
  return line.kind == kind && Fold(name) == folded;
}

// Identity of the file as last read or written; any difference means another
// program changed it.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{}, ctime{};
  bool operator==(const FileId& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileId IdOf(const struct stat& st) {
  FileId id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  id.ctime = st.st_ctim;
  return id;
}

constexpr off_t kMaxFileSize = static_cast<off_t>(kIniMaxFileSize);

std::string Reason(int err) { return err == 0 ? std::string() : std::strerror(err); }

std::string DirName(const std::string& p) {
  const auto slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

// Follows symbolic links so that a write replaces the target and the link stays.
// A dangling link resolves to the path it names, which the write then creates.
std::string ResolveLinks(const std::string& path) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
    if (n <= 0) return p;
    target.resize(static_cast<std::size_t>(n));
    p = (target[0] == '/') ? target : DirName(p) + "/" + target;
  }
  return p;
}

// Serialises the read-modify-write of one file between processes: an advisory
// lock on a hidden file beside it (the file itself is replaced by rename). The
// holder removes the lock file before it lets go, so a waiter that got the lock
// of a removed file tries again. Where no lock file can be made (a folder that
// cannot be written) the write goes ahead and reports its own failure.
class WriteLock {
 public:
  explicit WriteLock(const std::string& path) {
    const std::string target = ResolveLinks(path);
    const std::string base = target.substr(target.find_last_of('/') + 1);
    lockPath_ = DirName(target) + "/." + base + ".lock";
    for (int attempt = 0; attempt < 1000; ++attempt) {
      fd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
      if (fd_ < 0) return;
      int r;
      while ((r = ::flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
      }
      struct stat held {}, named {};
      if (r == 0 && ::fstat(fd_, &held) == 0 && ::stat(lockPath_.c_str(), &named) == 0 &&
          held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        return;
      }
      ::close(fd_);
      fd_ = -1;
      if (r != 0) return;
    }
  }
  ~WriteLock() {
    if (fd_ < 0) return;
    ::unlink(lockPath_.c_str());
    ::close(fd_);  // releases the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  std::string lockPath_;
  int fd_ = -1;
};

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

// ---- File state --------------------------------------------------------------

struct IniFile::State {
  enum class Status { Absent, Regular, Unusable };

  Document doc;
  Status status = Status::Absent;
  FileId id;
  bool cached = false;  // doc reflects the file as identified by status/id
  bool racy = false;    // the stamp is too recent to prove the file unchanged
  std::string raw;      // the file's bytes as last read or written, for racy checks
  int depth = 0;        // nesting of BeginUpdate
  bool dirty = false;   // doc holds changes not yet in the file
  std::string fsec, fkey;  // folded look-up names, reused to spare allocations
  std::string why;         // Unusable: the reason
  bool tooLarge = false;   // Unusable because of its size: reads fail too
  struct Write {
    std::string section, key, value;
  };
  std::vector<Write> group;  // the writes of the open group, replayed onto a changed file
  std::uint64_t generation = 0;  // counts the times the model was rebuilt from the file

  State() { doc.Clear(); }

  void Invalidate() {
    cached = false;
    dirty = false;
  }

  // Brings the model in line with the file unless a group of writes owns it.
  void Refresh(const std::string& path) {
    if (depth > 0) return;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      const int err = errno;
      const bool absent = (err == ENOENT || err == ENOTDIR);
      const Status now = absent ? Status::Absent : Status::Unusable;
      if (cached && status == now) return;
      Reset(now, absent ? std::string() : Reason(err));
      return;
    }
    if (!S_ISREG(st.st_mode)) {
      Reset(Status::Unusable, "not a regular file");
      return;
    }
    if (st.st_size > kMaxFileSize) {
      Reset(Status::Unusable, "larger than " + std::to_string(kIniMaxFileSize >> 20) + " MiB");
      tooLarge = true;
      return;
    }
    if (cached && status == Status::Regular && id == IdOf(st)) {
      if (!racy) return;
      // Changed within the timestamp's granularity: only the bytes can tell.
      std::string data;
      struct stat rst;
      if (ReadAll(path, data, rst) && data == raw && id == IdOf(rst)) {
        racy = IsRecent(rst.st_mtim);
        return;
      }
    }
    Load(path);
  }

  void Reset(Status now, std::string reason = {}) {
    ++generation;
    doc.Clear();
    raw.clear();
    why = std::move(reason);
    tooLarge = false;
    status = now;
    cached = true;
    racy = false;
  }

  // A file stamped within the last second may be rewritten again without its
  // stamp changing (coarse clocks, FAT's two seconds are rarer than that).
  static bool IsRecent(const timespec& mtime) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long ns = (static_cast<long long>(now.tv_sec) - mtime.tv_sec) * 1000000000LL + (now.tv_nsec - mtime.tv_nsec);
    return ns < kRacyWindowNs;
  }
  static constexpr long long kRacyWindowNs = 1000000000LL;

  // Reads the whole regular file; false when it cannot be read, with `missing`
  // telling whether there is no file at all.
  static bool ReadAll(const std::string& path, std::string& data, struct stat& st, bool* missing = nullptr) {
    // Non-blocking open: a FIFO put in place of the file must not hang the tool.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (missing) *missing = fd < 0 && (errno == ENOENT || errno == ENOTDIR);
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
      ::close(fd);
      errno = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
      return false;
    }
    data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    bool ok = true;
    for (;;) {
      if (got == data.size()) data.resize(data.size() + 4096);  // the file may have grown
      const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
      if (static_cast<off_t>(got) > kMaxFileSize) {
        ok = false;
        errno = EFBIG;
        break;
      }
    }
    const int err = errno;
    ::close(fd);
    errno = err;
    data.resize(got);
    return ok;
  }

  void Load(const std::string& path) {
    std::string data;
    struct stat st;
    bool missing = false;
    if (!ReadAll(path, data, st, &missing)) {
      const int err = errno;
      Reset(missing ? Status::Absent : Status::Unusable, missing ? std::string() : Reason(err));
      tooLarge = err == EFBIG;
      return;
    }
    ++generation;
    doc.Parse(data);
    why.clear();
    tooLarge = false;
    raw = std::move(data);
    status = Status::Regular;
    cached = true;
    id = IdOf(st);
    racy = IsRecent(st.st_mtim);
  }

  // Applies one write to the model; false when the key already has this value.
  bool Apply(const std::string& path, std::string_view section, std::string_view key, std::string_view value) {
    if (status == Status::Unusable) throw EIniError(path, why);
    const std::string_view sec = Trim(section);
    const std::string_view k = Trim(key);
    if (HasLineBreak(sec) || HasLineBreak(k) || HasLineBreak(value)) throw EIniError(path, "a line break in a name or value");
    FoldInto(sec, fsec);
    FoldInto(k, fkey);

    Line kl;
    kl.text.reserve(k.size() + 1 + value.size());
    kl.text.append(k).append("=").append(value);
    kl.eol = "\r\n";
    if (!ReadsBackAs(kl, LineKind::Key, fkey)) throw EIniError(path, kNotReadBack);

    const auto s = doc.sections.find(fsec);
    if (s == doc.sections.end()) {
      Line hl;
      hl.text.reserve(sec.size() + 2);
      hl.text.append("[").append(sec).append("]");
      hl.eol = "\r\n";
      if (!ReadsBackAs(hl, LineKind::Header, fsec)) throw EIniError(path, kNotReadBack);
      if (Line* last = doc.LastLine(); last && last->eol.empty()) last->eol = "\r\n";
      doc.AddLine(std::move(hl));
      doc.AddLine(std::move(kl));
      return true;
    }

    Block& b = doc.blocks[s->second];
    if (const auto it = b.keys.find(fkey); it != b.keys.end()) {
      Line& l = b.lines[it->second];
      if (l.hasValue && ValueOf(l) == value) return false;
      Line nl;
      nl.text.reserve(l.keep + 1 + value.size());
      nl.text.append(l.text, 0, l.keep);
      if (!l.hasValue) nl.text.push_back('=');
      nl.text.append(value);
      nl.eol = l.eol;
      if (!ReadsBackAs(nl, LineKind::Key, fkey)) throw EIniError(path, kNotReadBack);
      l = std::move(nl);
      return true;
    }

    const std::uint32_t at = b.lastKey;
    if (b.lines[at].eol.empty()) b.lines[at].eol = "\r\n";
    b.lines.insert(b.lines.begin() + at + 1, std::move(kl));
    b.keys.emplace(fkey, at + 1);
    b.lastKey = at + 1;
    return true;
  }

  // Replaces the file by the model in one rename. On failure the file is
  // untouched and the model is dropped, so the next read sees the file again.
  void Flush(const std::string& path) {
    try {
      FlushOrThrow(path);
    } catch (...) {
      Invalidate();
      throw;
    }
    dirty = false;
  }

  static constexpr const char* kNotReadBack = "the line would not read back as that key";

  void FlushOrThrow(const std::string& path) {
    if (status == Status::Unusable) throw EIniError(path, why);
    const std::string target = ResolveLinks(path);
    struct stat old;
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
      // A file marked read-only stays unwritten, as with an in-place write.
      if (!S_ISREG(old.st_mode)) throw EIniError(path, "not a regular file");
      if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        throw EIniError(path, errno == EACCES ? "read-only (" + Reason(errno) + ")" : Reason(errno));
      }
    }
    std::string data = doc.Serialize();

    const std::string dir = DirName(target);
    const std::string base = target.substr(target.find_last_of('/') + 1);
    static thread_local std::mt19937_64 rng{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
      char suffix[24];
      std::snprintf(suffix, sizeof suffix, ".%012llx~", static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
      tmp = dir + "/." + base + suffix;
      fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) throw EIniError(path, Reason(errno));

    int err = 0;
    auto failed = [&err](bool ok) {
      if (!ok && err == 0) err = errno != 0 ? errno : EIO;
      return !ok;
    };
    errno = 0;
    bool ok = !failed(WriteAll(fd, data));
    if (ok && exists) {
      ok = !failed(::fchmod(fd, old.st_mode & 07777) == 0);
      if (ok && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        // Keeping the owner is best effort: only a privileged process may give files away.
        [[maybe_unused]] int r = ::fchown(fd, old.st_uid, old.st_gid);
      }
    }
    // The data must be on disk before the rename makes it the file, or a power
    // cut could leave an empty file under the old name.
    if (ok) ok = !failed(::fdatasync(fd) == 0);
    if (failed(::close(fd) == 0)) ok = false;
    if (ok) ok = !failed(::rename(tmp.c_str(), target.c_str()) == 0);
    if (!ok) {
      ::unlink(tmp.c_str());
      throw EIniError(path, Reason(err));
    }
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) {
      id = IdOf(st);
      status = Status::Regular;
      cached = true;
      racy = IsRecent(st.st_mtim);
      raw = std::move(data);
    } else {
      cached = false;
    }
  }
};

// ---- IniFile -------------------------------------------------------------------

IniFile::IniFile(std::string path) : path_(std::move(path)), state_(std::make_unique<State>()) {}

IniFile::~IniFile() = default;

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  State& st = *state_;
  st.Refresh(path_);
  if (st.tooLarge) throw EIniTooLarge(path_);
  FoldInto(Trim(section), st.fsec);
  FoldInto(Trim(key), st.fkey);
  const Line* l = st.doc.Find(st.fsec, st.fkey);
  if (l == nullptr || !l->hasValue) return std::string(def);
  std::string_view v = ValueOf(*l);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    // The closing quote must be a character of its own, not the tail of a GBK pair.
    std::size_t i = 0, lastStart = 0;
    while (i < v.size()) {
      lastStart = i;
      i += CharLen(v, i);
    }
    if (lastStart == v.size() - 1) v = v.substr(1, v.size() - 2);
  }
  if (v.size() > kIniMaxValue) {
    std::size_t i = 0;
    while (i < v.size()) {
      const std::size_t n = CharLen(v, i);
      if (i + n > kIniMaxValue) break;
      i += n;
    }
    v = v.substr(0, i);
  }
  return std::string(v);
}

std::optional<std::string> IniFile::FindString(std::string_view section, std::string_view key) const {
  State& st = *state_;
  st.Refresh(path_);
  if (st.tooLarge) throw EIniTooLarge(path_);
  FoldInto(Trim(section), st.fsec);
  FoldInto(Trim(key), st.fkey);
  const Line* l = st.doc.Find(st.fsec, st.fkey);
  if (l == nullptr || !l->hasValue) return std::nullopt;
  return ReadString(section, key, {});
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const {
  const std::string s = ReadString(section, key, {});
  std::string_view v = s;
  bool neg = false;
  if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
    neg = v[0] == '-';
    v.remove_prefix(1);
  }
  int base = 10;
  if (!v.empty() && v[0] == '$') {
    base = 16;
    v.remove_prefix(1);
  } else if (v.size() >= 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
    base = 16;
    v.remove_prefix(2);
  }
  if (v.empty()) return def;
  std::uint64_t mag = 0;
  for (const char c : v) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return def;
    mag = mag * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (mag > 0xFFFFFFFFull) return def;
  }
  if (base == 16) {
    // Hexadecimal gives a 32-bit pattern: "$FFFFFFFF" is -1.
    auto bits = static_cast<std::uint32_t>(mag);
    if (neg) bits = 0u - bits;
    return static_cast<std::int32_t>(bits);
  }
  if (neg) {
    if (mag > 0x80000000ull) return def;
    return static_cast<std::int32_t>(-static_cast<std::int64_t>(mag));
  }
  if (mag > 0x7FFFFFFFull) return def;
  return static_cast<std::int32_t>(mag);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  State& st = *state_;
  if (st.depth > 0) {
    if (st.Apply(path_, section, key, value)) st.dirty = true;
    st.group.push_back({std::string(section), std::string(key), std::string(value)});
    return;
  }
  WriteLock lock(path_);
  st.Refresh(path_);
  // Apply checks everything before it changes the model, so a refused write leaves it intact.
  if (st.Apply(path_, section, key, value)) st.Flush(path_);
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::BeginUpdate() {
  State& st = *state_;
  if (st.depth == 0) {
    st.Refresh(path_);
    st.dirty = false;
    st.group.clear();
  }
  ++st.depth;
}

void IniFile::CommitUpdate() {
  State& st = *state_;
  if (st.depth == 0) return;
  if (--st.depth > 0) return;
  std::vector<State::Write> group = std::move(st.group);
  st.group.clear();
  if (!st.dirty) return;
  WriteLock lock(path_);
  // Another program may have written the file since the group began: its
  // changes stay, the group's writes are applied again on top of them.
  const std::uint64_t before = st.generation;
  st.Refresh(path_);
  if (st.generation != before) {
    try {
      for (const State::Write& w : group) st.Apply(path_, w.section, w.key, w.value);
    } catch (...) {
      st.Invalidate();
      throw;
    }
  }
  st.Flush(path_);
}

void IniFile::CancelUpdate() {
  State& st = *state_;
  if (st.depth == 0) return;
  st.depth = 0;
  st.group.clear();
  if (st.dirty) st.Invalidate();
}

bool IniFile::InUpdate() const { return state_->depth > 0; }

}  // namespace facset

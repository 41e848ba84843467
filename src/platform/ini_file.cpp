#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <unordered_map>

#include "platform/safe_files.h"
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

// ---- Lines ------------------------------------------------------------------

enum class LineKind : std::uint8_t { Blank, Header, Key };

// What one line (its bytes without the line break) holds.
struct LineInfo {
  LineKind kind = LineKind::Blank;
  std::string_view name;   // section or key, trimmed; raw, not folded
  bool hasValue = false;   // a key line with "="
  std::size_t keep = 0;    // bytes kept when the value is replaced (through "=", or the name)
  std::size_t valBegin = 0, valEnd = 0;
};

LineInfo ScanLine(std::string_view s) {
  LineInfo info;
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
  if (begin == std::string_view::npos) return info;
  if (s[begin] == '[' && rb != std::string_view::npos) {
    info.kind = LineKind::Header;
    info.name = Trim(s.substr(begin + 1, rb - begin - 1));
    return info;
  }
  info.kind = LineKind::Key;
  if (eq == std::string_view::npos) {
    info.keep = end;
    info.name = s.substr(begin, end - begin);
    return info;
  }
  info.hasValue = true;
  info.keep = eq + 1;
  std::size_t vb = eq + 1;
  while (vb < end && IsBlank(static_cast<unsigned char>(s[vb]))) ++vb;
  info.valBegin = vb;
  info.valEnd = end;
  info.name = Trim(s.substr(begin, eq - begin));
  return info;
}

// FNV-1a of the folded name, without building it.
std::uint32_t FoldedHash(std::string_view s) {
  std::uint32_t h = 2166136261u;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = CharLen(s, i);
    for (std::size_t k = 0; k < n; ++k) {
      h ^= static_cast<unsigned char>(n == 1 ? AsciiLower(s[i]) : s[i + k]);
      h *= 16777619u;
    }
    i += n;
  }
  return h;
}

bool SameFolded(std::string_view raw, const std::string& folded, std::string& scratch) {
  if (raw.size() != folded.size()) return false;
  FoldInto(raw, scratch);
  return scratch == folded;
}

// ---- Document model ----------------------------------------------------------

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The file's bytes as they are (and will be written), indexed without copying
// them: a block starts at a section header (block 0 holds the lines before the
// first one), sections are found through a sorted table of name hashes, keys by
// scanning their block or, for a large block, through a table made on first use.
// A write splices its line into the bytes. So a file costs little more than its
// own size, however many small sections it has.
class Document {
 public:
  Document() { Parse({}); }

  const std::string& Bytes() const { return text_; }

  void Parse(std::string data) {
    text_ = std::move(data);
    body_ = std::string_view(text_).starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    blocks_.clear();
    sections_.clear();
    keyIndex_.clear();
    lastSection_ = npos;
    // Lines that open with "[" bound the number of sections: reserve once.
    std::size_t headers = 0;
    ForEachLine(body_, text_.size(), [&](std::size_t at, std::string_view line, std::size_t) {
      const std::size_t first = line.find_first_not_of(" \t");
      if (first != std::string_view::npos && line[first] == '[') ++headers;
      (void)at;
    });
    blocks_.reserve(headers + 1);
    sections_.reserve(headers);
    blocks_.push_back(static_cast<std::uint32_t>(body_));
    ForEachLine(body_, text_.size(), [&](std::size_t at, std::string_view line, std::size_t) {
      const LineInfo info = ScanLine(line);
      if (info.kind != LineKind::Header) return;
      sections_.push_back({FoldedHash(info.name), static_cast<std::uint32_t>(blocks_.size())});
      blocks_.push_back(static_cast<std::uint32_t>(at));
    });
    std::stable_sort(sections_.begin(), sections_.end(),
                     [](const Entry& a, const Entry& b) { return a.hash < b.hash; });
  }

  // The first block of the section, or npos. Lookups come in runs on one
  // section (a catalog, a parameter load): the last answer is kept.
  std::size_t FindSection(const std::string& fsec) const {
    if (lastSection_ != npos && fsec == lastSectionName_) return lastSection_;
    const std::uint32_t h = FoldedHash(fsec);
    auto it = std::lower_bound(sections_.begin(), sections_.end(), h,
                               [](const Entry& e, std::uint32_t v) { return e.hash < v; });
    for (; it != sections_.end() && it->hash == h; ++it) {
      if (SameFolded(ScanLine(LineAt(blocks_[it->at])).name, fsec, scratch_)) {
        lastSectionName_ = fsec;
        lastSection_ = it->at;
        return it->at;
      }
    }
    return npos;
  }

  // The first line of block `b` keyed `fkey`: its offset (npos when there is
  // none), its text and what it holds.
  struct KeyLine {
    std::size_t at = npos;
    std::string_view text;
    LineInfo info;
  };
  KeyLine FindKey(std::size_t b, const std::string& fkey) const {
    const std::size_t begin = blocks_[b];
    KeyLine found;
    if (const KeyIndex* index = IndexOf(b)) {
      const std::uint32_t h = FoldedHash(fkey);
      auto it = std::lower_bound(index->keys.begin(), index->keys.end(), h,
                                 [](const Entry& e, std::uint32_t v) { return e.hash < v; });
      for (; it != index->keys.end() && it->hash == h; ++it) {
        const std::string_view text = LineAt(begin + it->at);
        const LineInfo info = ScanLine(text);
        if (SameFolded(info.name, fkey, scratch_)) return {begin + it->at, text, info};
      }
      return found;
    }
    ForEachKey(b, [&](std::size_t at, std::string_view text, const LineInfo& info) {
      if (found.at == npos && SameFolded(info.name, fkey, scratch_)) found = {at, text, info};
    });
    return found;
  }

  // The text of the line at `at`, without its break.
  std::string_view LineAt(std::size_t at) const {
    std::size_t j = at;
    while (j < text_.size() && LineBreakLen(text_, j) == 0) ++j;
    return std::string_view(text_).substr(at, j - at);
  }

  // Replaces the text of the line at `at` (in block `b`) by `line`; its break stays.
  void ReplaceLine(std::size_t b, std::size_t at, std::string_view line) {
    const std::size_t old = LineAt(at).size();
    text_.replace(at, old, line);
    Shifted(b, at, static_cast<std::ptrdiff_t>(line.size()) - static_cast<std::ptrdiff_t>(old), false);
  }

  // Appends `line` (a key line, without break) at the end of block b's keys.
  void AppendKey(std::size_t b, std::string_view line, std::uint32_t hash) {
    const std::size_t begin = blocks_[b];
    std::size_t last = LastKeyOf(b);  // the header when the block has no key
    std::size_t at = last + LineAt(last).size();
    if (at == text_.size() || LineBreakLen(text_, at) == 0) {
      // The last line of the file without a break gets one first.
      text_.insert(at, "\r\n");
      Shifted(b, at, 2, true);
    }
    at += LineBreakLen(text_, at);
    std::string insert;
    insert.reserve(line.size() + 2);
    insert.append(line).append("\r\n");
    text_.insert(at, insert);
    Shifted(b, at, static_cast<std::ptrdiff_t>(insert.size()), true);
    if (KeyIndex* index = ExistingIndex(b)) {
      const auto rel = static_cast<std::uint32_t>(at - begin);
      auto pos = std::upper_bound(index->keys.begin(), index->keys.end(), Entry{hash, rel},
                                  [](const Entry& x, const Entry& y) { return x.hash < y.hash || (x.hash == y.hash && x.at < y.at); });
      index->keys.insert(pos, Entry{hash, rel});
      index->lastKey = rel;
    }
  }

  // Appends a new section holding one key line; both lines without breaks.
  void AppendSection(std::string_view header, std::uint32_t hash, std::string_view keyLine) {
    if (text_.size() > body_ && LineBreakLen(text_, text_.size() - 1) == 0) text_.append("\r\n");
    const auto block = static_cast<std::uint32_t>(blocks_.size());
    blocks_.push_back(static_cast<std::uint32_t>(text_.size()));
    text_.append(header).append("\r\n").append(keyLine).append("\r\n");
    auto pos = std::upper_bound(sections_.begin(), sections_.end(), hash,
                                [](std::uint32_t v, const Entry& e) { return v < e.hash; });
    sections_.insert(pos, Entry{hash, block});
    lastSection_ = npos;  // a name found before may now be this block's too
  }

  static constexpr std::size_t npos = std::string::npos;

 private:
  struct Entry {
    std::uint32_t hash;
    std::uint32_t at;  // sections: the block; keys: the line's offset in its block
  };
  struct KeyIndex {
    std::vector<Entry> keys;  // sorted by hash, then offset: the first of equal names first
    std::uint32_t lastKey = 0;  // offset of the last key line, or of the header (0)
  };
  // Blocks smaller than this are scanned; larger ones get a key table on first use.
  static constexpr std::size_t kIndexedBlockBytes = 256;

  std::size_t BlockEnd(std::size_t b) const { return b + 1 < blocks_.size() ? blocks_[b + 1] : text_.size(); }

  // fn(offset, line text, break length) for each line in [begin, end).
  template <typename Fn>
  void ForEachLine(std::size_t begin, std::size_t end, Fn&& fn) const {
    const std::string_view t = text_;
    for (std::size_t at = begin; at < end;) {
      std::size_t j = at;
      while (j < end && LineBreakLen(t, j) == 0) ++j;
      const std::size_t brk = j < end ? LineBreakLen(t, j) : 0;
      fn(at, t.substr(at, j - at), brk);
      at = j + brk;
    }
  }

  // fn(offset, text, info) for each key line of block b (b > 0), in file order.
  template <typename Fn>
  void ForEachKey(std::size_t b, Fn&& fn) const {
    const std::size_t begin = blocks_[b];
    const std::size_t first = begin + LineAt(begin).size();
    const std::size_t end = BlockEnd(b);
    ForEachLine(first + (first < end ? LineBreakLen(text_, first) : 0), end,
                [&](std::size_t at, std::string_view line, std::size_t) {
                  const LineInfo info = ScanLine(line);
                  if (info.kind == LineKind::Key) fn(at, line, info);
                });
  }

  KeyIndex* ExistingIndex(std::size_t b) const {
    const auto found = keyIndex_.find(static_cast<std::uint32_t>(b));
    return found == keyIndex_.end() ? nullptr : &found->second;
  }

  std::size_t LastKeyOf(std::size_t b) const {
    if (const KeyIndex* index = IndexOf(b)) return blocks_[b] + index->lastKey;
    std::size_t last = blocks_[b];
    ForEachKey(b, [&](std::size_t at, std::string_view, const LineInfo&) { last = at; });
    return last;
  }

  // The block's key table: kept up to date once made, made for a large block.
  KeyIndex* IndexOf(std::size_t b) const {
    if (KeyIndex* index = ExistingIndex(b)) return index;
    if (BlockEnd(b) - blocks_[b] < kIndexedBlockBytes) return nullptr;
    KeyIndex index;
    const std::size_t begin = blocks_[b];
    ForEachKey(b, [&](std::size_t at, std::string_view, const LineInfo& info) {
      index.keys.push_back({FoldedHash(info.name), static_cast<std::uint32_t>(at - begin)});
      index.lastKey = static_cast<std::uint32_t>(at - begin);
    });
    std::stable_sort(index.keys.begin(), index.keys.end(), [](const Entry& x, const Entry& y) { return x.hash < y.hash; });
    return &keyIndex_.emplace(static_cast<std::uint32_t>(b), std::move(index)).first->second;
  }

  // The bytes from `at` on (in block b) moved by `delta`: later blocks start
  // elsewhere, and so do b's key lines after `at` (from `at` on when `inclusive`).
  void Shifted(std::size_t b, std::size_t at, std::ptrdiff_t delta, bool inclusive) {
    if (delta == 0) return;
    for (std::size_t j = b + 1; j < blocks_.size(); ++j) blocks_[j] = static_cast<std::uint32_t>(blocks_[j] + delta);
    KeyIndex* index = ExistingIndex(b);
    if (index == nullptr) return;
    const auto rel = static_cast<std::uint32_t>(at - blocks_[b]);
    auto moves = [&](std::uint32_t off) { return inclusive ? off >= rel : off > rel; };
    if (!moves(index->lastKey)) return;  // the last key line is the latest: none moves
    for (Entry& e : index->keys) {
      if (moves(e.at)) e.at = static_cast<std::uint32_t>(e.at + delta);
    }
    if (moves(index->lastKey)) index->lastKey = static_cast<std::uint32_t>(index->lastKey + delta);
  }

  std::string text_;
  std::size_t body_ = 0;              // where the lines begin: after a UTF-8 BOM
  std::vector<std::uint32_t> blocks_;  // offset of each block
  std::vector<Entry> sections_;       // sorted by hash, then block: the first of equal names first
  mutable std::unordered_map<std::uint32_t, KeyIndex> keyIndex_;
  mutable std::string scratch_;
  mutable std::string lastSectionName_;
  mutable std::size_t lastSection_ = npos;
};

// A generated line must read back as what it was written for; otherwise the
// write would plant a different key or section in the file.
bool ReadsBackAs(std::string_view line, LineKind kind, std::string_view folded) {
  const LineInfo info = ScanLine(line);
  return info.kind == kind && Fold(info.name) == folded;
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

std::string TooLargeReason() { return "larger than " + std::to_string(kIniMaxFileSize >> 20) + " MiB"; }

std::chrono::milliseconds g_lockWait = kIniLockWait;

}  // namespace

void SetIniLockWait(std::chrono::milliseconds wait) { g_lockWait = wait; }

// ---- File state --------------------------------------------------------------

struct IniFile::State {
  enum class Status { Absent, Regular, Unusable };

  Document doc;
  Status status = Status::Absent;
  FileId id;
  bool cached = false;  // doc holds the file as identified by status/id
  bool racy = false;    // the stamp is too recent to prove the file unchanged
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
      Reset(Status::Unusable, NotRegularReason(st.st_mode));
      return;
    }
    if (st.st_size > kMaxFileSize) {
      Reset(Status::Unusable, TooLargeReason());
      tooLarge = true;
      return;
    }
    if (cached && status == Status::Regular && id == IdOf(st)) {
      if (!racy) return;
      // Changed within the timestamp's granularity: only the bytes can tell.
      std::string data;
      struct stat rst;
      if (ReadAll(path, data, rst) && data == doc.Bytes() && id == IdOf(rst)) {
        racy = IsRecent(rst.st_mtim);
        return;
      }
    }
    Load(path);
  }

  void Reset(Status now, std::string reason = {}) {
    ++generation;
    doc.Parse({});
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (missing) *missing = fd < 0 && (errno == ENOENT || errno == ENOTDIR);
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
      ::close(fd);
      errno = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
      return false;
    }
    // One byte beyond the size shows a file that grew meanwhile; the buffer is
    // never doubled, so a file costs its own size here.
    data.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    bool ok = true;
    for (;;) {
      if (got == data.size()) {
        if (static_cast<off_t>(got) > kMaxFileSize) {
          ok = false;
          errno = EFBIG;
          break;
        }
        data.resize(data.size() + 4096);
      }
      const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (ok && static_cast<off_t>(got) > kMaxFileSize) {
      ok = false;
      errno = EFBIG;
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
      if (tooLarge) why = TooLargeReason();
      return;
    }
    ++generation;
    doc.Parse(std::move(data));
    why.clear();
    tooLarge = false;
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

    std::string kl;
    kl.reserve(k.size() + 1 + value.size());
    kl.append(k).append("=").append(value);
    if (!ReadsBackAs(kl, LineKind::Key, fkey)) throw EIniError(path, kNotReadBack);

    const std::size_t b = doc.FindSection(fsec);
    if (b == Document::npos) {
      std::string hl;
      hl.reserve(sec.size() + 2);
      hl.append("[").append(sec).append("]");
      if (!ReadsBackAs(hl, LineKind::Header, fsec)) throw EIniError(path, kNotReadBack);
      doc.AppendSection(hl, FoldedHash(fsec), kl);
      return true;
    }
    if (const Document::KeyLine found = doc.FindKey(b, fkey); found.at != Document::npos) {
      const std::size_t at = found.at;
      const std::string_view old = found.text;
      const LineInfo& info = found.info;
      if (info.hasValue && old.substr(info.valBegin, info.valEnd - info.valBegin) == value) return false;
      std::string nl;
      nl.reserve(info.keep + 1 + value.size());
      nl.append(old.substr(0, info.keep));
      if (!info.hasValue) nl.push_back('=');
      nl.append(value);
      if (!ReadsBackAs(nl, LineKind::Key, fkey)) throw EIniError(path, kNotReadBack);
      doc.ReplaceLine(b, at, nl);
      return true;
    }
    doc.AppendKey(b, kl, FoldedHash(fkey));
    return true;
  }

  // Replaces the file by the model in one rename. On failure the file is
  // untouched and the model is dropped, so the next read sees the file again.
  void Flush(const std::string& path, LinkPolicy links) {
    try {
      FlushOrThrow(path, links);
    } catch (...) {
      Invalidate();
      throw;
    }
    dirty = false;
  }

  static constexpr const char* kNotReadBack = "the line would not read back as that key";

  void FlushOrThrow(const std::string& path, LinkPolicy links) {
    if (status == Status::Unusable) throw EIniError(path, why);
    if (std::string failed = ReplaceFileContent(path, doc.Bytes(), links); !failed.empty()) {
      throw EIniError(path, failed);
    }
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      id = IdOf(st);
      status = Status::Regular;
      cached = true;
      racy = IsRecent(st.st_mtim);
    } else {
      cached = false;
    }
  }
};

// ---- IniFile -------------------------------------------------------------------

IniFile::IniFile(std::string path, LinkPolicy links)
    : path_(std::move(path)), links_(links), state_(std::make_unique<State>()) {}

IniFile::~IniFile() = default;

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  std::optional<std::string> v = FindString(section, key);
  return v ? std::move(*v) : std::string(def);
}

std::optional<std::string> IniFile::FindString(std::string_view section, std::string_view key) const {
  State& st = *state_;
  st.Refresh(path_);
  if (st.tooLarge) throw EIniTooLarge(path_);
  FoldInto(Trim(section), st.fsec);
  FoldInto(Trim(key), st.fkey);
  const std::size_t b = st.doc.FindSection(st.fsec);
  if (b == Document::npos) return std::nullopt;
  const Document::KeyLine found = st.doc.FindKey(b, st.fkey);
  if (found.at == Document::npos || !found.info.hasValue) return std::nullopt;
  const std::string_view line = found.text;
  const LineInfo& info = found.info;
  std::string_view v = line.substr(info.valBegin, info.valEnd - info.valBegin);
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
  const FileLock lock(LockTarget(), g_lockWait);
  if (!lock.ok()) throw EIniError(path_, lock.error());
  st.Refresh(path_);
  // Apply checks everything before it changes the model, so a refused write leaves it intact.
  if (st.Apply(path_, section, key, value)) st.Flush(path_, links_);
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
  const FileLock lock(LockTarget(), g_lockWait);
  if (!lock.ok()) throw EIniError(path_, lock.error());
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
  st.Flush(path_, links_);
}

// The lock beside the file a write replaces: the link's target when a link is
// followed, so that writers through the link and to the target exclude each other.
std::string IniFile::LockTarget() const {
  std::string why;
  const std::string target = WriteTarget(path_, links_, why);
  return target.empty() ? path_ : target;
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

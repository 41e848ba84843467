// Writes: what bytes a write leaves in the file, and when it leaves the file alone.

#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using namespace std::string_literals;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

struct Write {
  std::string section, key, value;
};

struct WriteCase {
  const char* name;
  bool fileExists;
  std::string before;
  std::vector<Write> writes;
  std::string after;
};
// Test names and failure messages show the case name, not the struct's bytes.
inline void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }


const WriteCase kWriteCases[] = {
    {"CreatesMissingFile", false, "", {{"a", "k", "v"}}, "[a]\r\nk=v\r\n"},
    {"EmptyFileGetsSection", true, "", {{"a", "k", "v"}}, "[a]\r\nk=v\r\n"},
    {"AppendsSectionWithoutBlankLine", true, "[a]\r\nk=v\r\n", {{"b", "j", "w"}}, "[a]\r\nk=v\r\n[b]\r\nj=w\r\n"},
    {"AppendsSectionAfterCrLfWhenLastLineOpen", true, "[a]\nk=v", {{"b", "j", "w"}}, "[a]\nk=v\r\n[b]\r\nj=w\r\n"},
    {"AppendsSectionAfterTrailingBlankLines", true, "[a]\r\nk=v\r\n\r\n", {{"b", "j", "w"}},
     "[a]\r\nk=v\r\n\r\n[b]\r\nj=w\r\n"},
    {"AppendsKeyAfterLastKeyLine", true, "[a]\r\nk=v\r\n\r\n; note\r\n\r\n[b]\r\nx=1\r\n", {{"a", "n", "new"}},
     // "; note" is a key line (a key without value), so the new key follows it.
     "[a]\r\nk=v\r\n\r\n; note\r\nn=new\r\n\r\n[b]\r\nx=1\r\n"},
    {"AppendsKeyBeforeBlankLinesOfSection", true, "[a]\nk=v\n\n[b]\nx=1\n", {{"a", "n", "1"}},
     "[a]\nk=v\nn=1\r\n\n[b]\nx=1\n"},
    {"AppendsKeyToEmptySection", true, "[a]\r\n\r\n[b]\r\n", {{"a", "n", "1"}}, "[a]\r\nn=1\r\n\r\n[b]\r\n"},
    {"AppendsKeyToOpenLastLine", true, "[a]\r\nk=v", {{"a", "n", "1"}}, "[a]\r\nk=v\r\nn=1\r\n"},
    {"AppendsKeyToOpenHeader", true, "[a]", {{"a", "n", "1"}}, "[a]\r\nn=1\r\n"},
    {"ReplacesValueInPlace", true, "; top\n[a]\n  k = old  \n j=2\n", {{"a", "k", "new"}}, "; top\n[a]\n  k =new\n j=2\n"},
    {"ReplacesCaseInsensitively", true, "[Port]\r\nUse Com=0\r\n", {{"port", "use com", "1"}}, "[Port]\r\nUse Com=1\r\n"},
    {"KeyWithoutValueGetsOne", true, "[a]\r\nk\r\n", {{"a", "k", "1"}}, "[a]\r\nk=1\r\n"},
    {"ReplacesFirstOfEqualKeys", true, "[a]\r\nk=1\r\nk=2\r\n", {{"a", "K", "3"}}, "[a]\r\nk=3\r\nk=2\r\n"},
    {"WritesFirstOfEqualSections", true, "[a]\r\nk=1\r\n[a]\r\nj=2\r\n", {{"a", "j", "3"}},
     "[a]\r\nk=1\r\nj=3\r\n[a]\r\nj=2\r\n"},
    {"KeyBeforeFirstHeaderIsNotTheSectionsKey", true, "k=1\r\n[a]\r\n", {{"a", "k", "2"}}, "k=1\r\n[a]\r\nk=2\r\n"},
    {"ValueWrittenAsGiven", true, "[a]\r\nk=v\r\n", {{"a", "k", "  lead\"q\" "}}, "[a]\r\nk=  lead\"q\" \r\n"},
    {"EqualsInValue", true, "[Aregb]\r\n", {{"Aregb", "Aregb0", "North=9.8015"}}, "[Aregb]\r\nAregb0=North=9.8015\r\n"},
    {"KeepsCrOnlyAndNulBytes", true, "[a]\rk=v\r"s + "x=\0\0\r"s + "\0\r"s, {{"a", "k", "w"}, {"a", "n", "1"}},
     "[a]\rk=w\r"s + "x=\0\0\r"s + "n=1\r\n\0\r"s},
    {"ChineseBytesUntouched", true, "[Strings]\r\nsA=\xCA\xB9\xD3\xC3\r\n", {{"Strings", "sB", " \xB4\xAE\xBF\xDA"}},
     "[Strings]\r\nsA=\xCA\xB9\xD3\xC3\r\nsB= \xB4\xAE\xBF\xDA\r\n"},
    {"NamesWrittenTrimmed", false, "", {{" a ", " k ", "v"}}, "[a]\r\nk=v\r\n"},
    {"SeveralKeysInOrder", false, "", {{"port", "ip", "10.0.0.1"}, {"port", "com", "0"}, {"factory", "byte[1  ]", "2"},
      {"port", "use com", "1"}},
     "[port]\r\nip=10.0.0.1\r\ncom=0\r\nuse com=1\r\n[factory]\r\nbyte[1  ]=2\r\n"},
};

class IniWriteTable : public ::testing::TestWithParam<WriteCase> {};

TEST_P(IniWriteTable, LeavesExactBytes) {
  TempDir dir;
  const WriteCase& c = GetParam();
  const std::string path = dir / "t.ini";
  if (c.fileExists) WriteFileBytes(path, c.before);
  {
    IniFile ini(path);
    for (const Write& w : c.writes) ini.WriteString(w.section, w.key, w.value);
    EXPECT_EQ(ReadFileBytes(path), c.after) << "single writes";
  }
  // A batch of the same writes gives the same bytes.
  if (c.fileExists) WriteFileBytes(path, c.before);
  else std::filesystem::remove(path);
  IniFile ini(path);
  IniUpdate batch(ini);
  for (const Write& w : c.writes) ini.WriteString(w.section, w.key, w.value);
  batch.Commit();
  EXPECT_EQ(ReadFileBytes(path), c.after) << "batch";
}

INSTANTIATE_TEST_SUITE_P(TrickyFiles, IniWriteTable, ::testing::ValuesIn(kWriteCases),
                         [](const auto& tc) { return std::string(tc.param.name); });

TEST(IniWrite, WrittenValuesReadBack) {
  TempDir dir;
  IniFile ini(dir / "t.ini");
  ini.WriteInteger("a", "i", -123);
  ini.WriteInteger("a", "max", INT32_MAX);
  ini.WriteBool("a", "t", true);
  ini.WriteBool("a", "f", false);
  ini.WriteString("a", "e", "");
  EXPECT_EQ(ReadFileBytes(dir / "t.ini"), "[a]\r\ni=-123\r\nmax=2147483647\r\nt=1\r\nf=0\r\ne=\r\n");
  IniFile other(dir / "t.ini");
  EXPECT_EQ(other.ReadInteger("a", "i", 0), -123);
  EXPECT_EQ(other.ReadInteger("a", "max", 0), INT32_MAX);
  EXPECT_TRUE(other.ReadBool("a", "t", false));
  EXPECT_FALSE(other.ReadBool("a", "f", true));
  EXPECT_EQ(other.ReadString("a", "e", "def"), "");
}

// Stat identity of the file: a rewrite always gives a new inode.
struct Stamp {
  ino_t ino;
  timespec mtime;
  bool operator==(const Stamp& o) const {
    return ino == o.ino && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};
Stamp StampOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return {st.st_ino, st.st_mtim};
}

TEST(IniWrite, UnchangedValueDoesNotTouchTheFile) {
  TempDir dir;
  const std::string path = dir / "t.ini";
  WriteFileBytes(path, "[a]\nk = v \n");
  const Stamp before = StampOf(path);
  IniFile ini(path);
  ini.WriteString("A", "K", "v");
  {
    IniUpdate batch(ini);
    ini.WriteString("a", "k", "v");
    batch.Commit();
  }
  EXPECT_EQ(StampOf(path), before);
  EXPECT_EQ(ReadFileBytes(path), "[a]\nk = v \n");
}

TEST(IniWrite, NothingWrittenCreatesNoFile) {
  TempDir dir;
  IniFile ini(dir / "t.ini");
  IniUpdate batch(ini);
  batch.Commit();
  EXPECT_FALSE(std::filesystem::exists(dir / "t.ini"));
}

TEST(IniWrite, PermissionBitsKept) {
  TempDir dir;
  const std::string path = dir / "t.ini";
  WriteFileBytes(path, "[a]\r\nk=v\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  IniFile ini(path);
  ini.WriteString("a", "k", "w");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFileBytes(path), "[a]\r\nk=w\r\n");
}

TEST(IniWrite, WritesThroughSymlinkAndKeepsIt) {
  TempDir dir;
  std::filesystem::create_directory((dir / "real"));
  const std::string target = dir / "real/t.ini";
  WriteFileBytes(target, "[a]\r\nk=v\r\n");
  const std::string link = dir / "link.ini";
  std::filesystem::create_symlink("real/t.ini", link);
  IniFile ini(link);
  ini.WriteString("a", "k", "w");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadFileBytes(target), "[a]\r\nk=w\r\n");
  EXPECT_EQ(ini.ReadString("a", "k", ""), "w");
  // No temporary file is left anywhere.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator((dir / "real")), {}), 1);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(IniWrite, DanglingSymlinkCreatesTheTarget) {
  TempDir dir;
  std::filesystem::create_symlink("t.ini", (dir / "link.ini"));
  IniFile ini(dir / "link.ini");
  ini.WriteString("a", "k", "v");
  EXPECT_TRUE(std::filesystem::is_symlink((dir / "link.ini")));
  EXPECT_EQ(ReadFileBytes(dir / "t.ini"), "[a]\r\nk=v\r\n");
}

// Names and values that would not read back as written are refused: a line
// break in a value would plant new keys or sections into the file.
TEST(IniWrite, RefusesWritesThatWouldNotReadBack) {
  TempDir dir;
  const std::string path = dir / "t.ini";
  WriteFileBytes(path, "[a]\r\n[b=1\r\n");
  IniFile ini(path);
  const Write bad[] = {
      {"a", "k", "v\r\n[evil]\r\nx=1"},
      {"a", "k", "line\nbreak"},
      {"a", "k=j", "v"},
      {"a", "[x]", "v"},
      {"a", "[b", "]"},  // "[b=]" would become a header
      {"ne\r\nw", "k", "v"},
      {"a", "k\nj", "v"},
      {"a", "k\rj", "v"},
  };
  for (const Write& w : bad) {
    EXPECT_THROW(ini.WriteString(w.section, w.key, w.value), EIniError) << w.key << "=" << w.value;
  }
  EXPECT_EQ(ReadFileBytes(path), "[a]\r\n[b=1\r\n");
  EXPECT_EQ(ini.ReadString("a", "[b", ""), "1");
}

// The file is indexed once and every write splices into it, keeping the index
// in step. Whatever order writes come in, one object writing in a group, one
// object writing one at a time and a fresh object per write (a fresh index each
// time) must leave the same bytes and read the same values.
TEST(IniWrite, SplicedWritesLeaveWhatFreshWritesLeave) {
  std::string base = "; top\r\n[small]\r\na=1\r\nb=2\r\n[big]\r\n";
  for (int i = 0; i < 150; ++i) base += "key" + std::to_string(i) + (i % 17 == 5 ? "\r" : "\r\n");
  for (int i = 0; i < 150; ++i) base += " Key" + std::to_string(i) + " = value " + std::to_string(i) + "\r\n";
  base += "lonely\r\n\r\n; trailing note\r\n\r\n[Small]\r\nc=3\r\n[tail]\nz=9";
  const std::vector<std::string> sections = {"small", "BIG", "big", "tail", "new one", "New One", "other"};
  for (unsigned seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    std::vector<Write> writes;
    for (int i = 0; i < 150; ++i) {
      const std::string key = pick(4) == 0 ? "lonely" : (pick(2) ? "key" : "KEY") + std::to_string(pick(170));
      writes.push_back({sections[pick(sections.size())], key, std::string(pick(12), 'x') + std::to_string(pick(3))});
    }
    TempDir dir;
    const std::string grouped = dir / "grouped.ini", single = dir / "single.ini", fresh = dir / "fresh.ini";
    for (const std::string& p : {grouped, single, fresh}) WriteFileBytes(p, base);
    IniFile g(grouped), s(single);
    {
      IniUpdate batch(g);
      for (const Write& w : writes) g.WriteString(w.section, w.key, w.value);
      batch.Commit();
    }
    for (const Write& w : writes) {
      s.WriteString(w.section, w.key, w.value);
      IniFile(fresh).WriteString(w.section, w.key, w.value);
    }
    const std::string want = ReadFileBytes(fresh);
    EXPECT_EQ(ReadFileBytes(grouped), want);
    EXPECT_EQ(ReadFileBytes(single), want);
    const IniFile reader(fresh);
    for (const Write& w : writes) {
      const std::string v = reader.ReadString(w.section, w.key, "?");
      EXPECT_EQ(g.ReadString(w.section, w.key, "?"), v) << w.section << "/" << w.key;
      EXPECT_EQ(s.ReadString(w.section, w.key, "?"), v) << w.section << "/" << w.key;
    }
  }
}

}  // namespace
}  // namespace facset

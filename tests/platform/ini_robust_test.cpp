// Failures and foreign changes: a write either replaces the file whole or leaves
// it as it was; reads follow what other programs do to the file.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using namespace std::string_literals;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// Makes every write past `bytes` fail with EFBIG, even for root: the one way to
// have a write fail half-way through without special mounts.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    savedSig_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = saved_;
    lim.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, savedSig_);
  }

 private:
  rlimit saved_{};
  sighandler_t savedSig_;
};

std::size_t EntriesIn(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

class IniFailure : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string path = dir / "params.ini";
  const std::string original = "; hand-made\r\n[factory]\r\nbyte[1  ]=3\r\n";

  void SetUp() override { WriteFileBytes(path, original); }

  // The write failed cleanly: exact message, file and folder as before.
  void ExpectUntouched(IniFile& ini) {
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_EQ(EntriesIn(dir.path()), 1u) << "temporary file left behind";
    // The failed change is gone from the model too.
    EXPECT_EQ(ini.ReadString("factory", "byte[1  ]", ""), "3");
    EXPECT_EQ(ini.ReadString("factory", "byte[2  ]", "none"), "none");
  }
};

TEST_F(IniFailure, FailedWriteLeavesFileAndThrowsExactMessage) {
  IniFile ini(path);
  ini.ReadString("factory", "byte[1  ]", "");
  {
    FileSizeLimit limit(16);
    try {
      ini.WriteString("factory", "byte[2  ]", std::string(100, '7'));
      FAIL() << "no error";
    } catch (const EIniError& e) {
      // The reason follows the fixed text.
      EXPECT_STREQ(e.what(), ("Unable to write to " + path + ": File too large").c_str());
      EXPECT_EQ(e.path(), path);
    }
  }
  ExpectUntouched(ini);
  // The next write, with room again, works from the file as it is.
  ini.WriteString("factory", "byte[2  ]", "9");
  EXPECT_EQ(ReadFileBytes(path), original + "byte[2  ]=9\r\n");
}

TEST_F(IniFailure, FailedBatchWritesNothing) {
  IniFile ini(path);
  {
    FileSizeLimit limit(64);
    IniUpdate batch(ini);
    ini.WriteString("factory", "byte[1  ]", "4");
    for (int n = 2; n < 256; ++n) ini.WriteString("factory", "byte[" + std::to_string(n) + "]", std::to_string(n));
    EXPECT_EQ(ReadFileBytes(path), original) << "a batch must not reach the file before its commit";
    EXPECT_EQ(ini.ReadString("factory", "byte[1  ]", ""), "4") << "reads see the pending writes";
    EXPECT_THROW(batch.Commit(), EIniError);
  }
  EXPECT_FALSE(ini.InUpdate());
  ExpectUntouched(ini);
}

TEST_F(IniFailure, CancelledBatchWritesNothing) {
  IniFile ini(path);
  {
    IniUpdate batch(ini);
    ini.WriteString("factory", "byte[1  ]", "4");
    ini.WriteString("factory", "byte[2  ]", "5");
    // Leaving the scope without Commit, as when an exception abandons a save.
  }
  EXPECT_FALSE(ini.InUpdate());
  ExpectUntouched(ini);
}

TEST_F(IniFailure, NestedBatchesCommitOnceAtTheOuterEnd) {
  IniFile ini(path);
  IniUpdate outer(ini);
  {
    IniUpdate inner(ini);
    ini.WriteString("factory", "byte[1  ]", "4");
    inner.Commit();
  }
  EXPECT_EQ(ReadFileBytes(path), original);
  outer.Commit();
  EXPECT_EQ(ReadFileBytes(path), "; hand-made\r\n[factory]\r\nbyte[1  ]=4\r\n");
}

// Runs `body` as an unprivileged user (in a child process when we are root,
// since root may write anything); returns what it returned.
template <typename F>
int RunUnprivileged(F body) {
  if (::geteuid() != 0) return body();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

// Replacing by rename could overwrite a file marked read-only; it must not.
TEST(IniBadPlace, ReadOnlyFileAndFolderAreNotWritten) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string ro = dir / "ro.ini";
  WriteFileBytes(ro, "[a]\r\nk=v\r\n");
  ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
  std::filesystem::create_directory((dir / "rodir"));
  ASSERT_EQ(::chmod(((dir / "rodir")).c_str(), 0555), 0);
  const std::string inRoDir = dir / "rodir/new.ini";

  const int rc = RunUnprivileged([&] {
    IniFile file(ro), fresh(inRoDir);
    if (file.ReadString("a", "k", "") != "v") return 1;
    try {
      file.WriteString("a", "k", "w");
      return 2;
    } catch (const EIniError& e) {
      if (std::string(e.what()) != "Unable to write to " + ro + ": read-only (Permission denied)") return 4;
    }
    try {
      fresh.WriteString("a", "k", "w");
      return 3;
    } catch (const EIniError&) {
    }
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFileBytes(ro), "[a]\r\nk=v\r\n");
  EXPECT_FALSE(std::filesystem::exists(inRoDir));
  EXPECT_EQ(EntriesIn(dir.path()), 2u);
}

TEST(IniBadPlace, ParentIsAFile) {
  TempDir dir;
  WriteFileBytes(dir / "plain", "x");
  const std::string path = dir / "plain/t.ini";
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("a", "k", "d"), "d");
  try {
    ini.WriteString("a", "k", "v");
    FAIL() << "no error";
  } catch (const EIniError& e) {
    EXPECT_STREQ(e.what(), ("Unable to write to " + path + ": Not a directory").c_str());
  }
  EXPECT_EQ(ReadFileBytes(dir / "plain"), "x");
}

TEST(IniBadPlace, MissingFolder) {
  TempDir dir;
  IniFile ini(dir / "nowhere/t.ini");
  EXPECT_THROW(ini.WriteString("a", "k", "v"), EIniError);
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
}

TEST(IniBadPlace, DirectoryInPlaceOfFile) {
  TempDir dir;
  const std::string path = dir / "t.ini";
  std::filesystem::create_directory(path);
  WriteFileBytes(dir / "t.ini/inner", "keep");
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("a", "k", "d"), "d");
  EXPECT_EQ(ini.ReadInteger("a", "k", 5), 5);
  EXPECT_THROW(ini.WriteString("a", "k", "v"), EIniError);
  IniUpdate batch(ini);
  EXPECT_THROW(ini.WriteString("a", "k", "v"), EIniError);
  EXPECT_NO_THROW(batch.Commit());  // nothing was accepted, so nothing to write
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(ReadFileBytes(dir / "t.ini/inner"), "keep");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(IniBadPlace, FifoInPlaceOfFileDoesNotHang) {
  TempDir dir;
  const std::string path = dir / "t.ini";
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("a", "k", "d"), "d");
  EXPECT_THROW(ini.WriteString("a", "k", "v"), EIniError);
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(IniBadInput, BinaryFileReadsAndKeepsEveryByteOnWrite) {
  TempDir dir;
  const std::string path = dir / "t.ini";
  std::mt19937 rng(42);
  std::string junk(64 * 1024, '\0');
  for (char& c : junk) c = static_cast<char>(rng());
  // A known key after the junk: the junk's last line is closed first.
  const std::string content = junk + "\r\n[a]\r\nk=v\r\n";
  WriteFileBytes(path, content);
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("a", "k", ""), "v");
  ini.ReadString("no such", "thing", "");
  ini.WriteString("a", "k", "w");
  EXPECT_EQ(ReadFileBytes(path), junk + "\r\n[a]\r\nk=w\r\n");
  // A write into a section that the junk may or may not hold still keeps the junk as the prefix.
  ini.WriteString("zz-new", "k", "1");
  EXPECT_EQ(ReadFileBytes(path).substr(0, junk.size()), junk);
}

class IniForeignChange : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string path = dir / "kelvaset_cn.lng";
};

TEST_F(IniForeignChange, InPlaceRewriteOfSameSizeIsSeen) {
  WriteFileBytes(path, "[Strings]\r\nsA=one\r\n");
  IniFile ini(path);
  ASSERT_EQ(ini.ReadString("Strings", "sA", ""), "one");
  // Same size, same inode, quite possibly the same time stamp.
  WriteFileBytes(path, "[Strings]\r\nsA=two\r\n");
  EXPECT_EQ(ini.ReadString("Strings", "sA", ""), "two");
}

TEST_F(IniForeignChange, OldStampedRewriteIsSeenByItsStamp) {
  WriteFileBytes(path, "[Strings]\r\nsA=one\r\n");
  const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  IniFile ini(path);
  ASSERT_EQ(ini.ReadString("Strings", "sA", ""), "one");
  WriteFileBytes(path, "[Strings]\r\nsA=two\r\n");
  const timespec later[2] = {{1000000000, 1}, {1000000000, 1}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
  EXPECT_EQ(ini.ReadString("Strings", "sA", ""), "two");
}

TEST_F(IniForeignChange, ReplacedDeletedAndRecreatedFileIsSeen) {
  WriteFileBytes(path, "[Strings]\r\nsA=one\r\n");
  IniFile ini(path);
  ASSERT_EQ(ini.ReadString("Strings", "sA", ""), "one");
  WriteFileBytes(path + ".new", "[Strings]\r\nsA=replaced by an editor\r\n");
  std::filesystem::rename(path + ".new", path);
  EXPECT_EQ(ini.ReadString("Strings", "sA", ""), "replaced by an editor");
  std::filesystem::remove(path);
  EXPECT_EQ(ini.ReadString("Strings", "sA", "gone"), "gone");
  WriteFileBytes(path, "[Strings]\nsA=back\n");
  EXPECT_EQ(ini.ReadString("Strings", "sA", ""), "back");
}

TEST_F(IniForeignChange, WriteStartsFromTheCurrentFile) {
  WriteFileBytes(path, "[Strings]\r\nsA=one\r\n");
  IniFile ini(path);
  ASSERT_EQ(ini.ReadString("Strings", "sA", ""), "one");
  WriteFileBytes(path, "[Strings]\r\nsA=one\r\nsHand=edited\r\n");
  ini.WriteString("Strings", "sB", "two");
  EXPECT_EQ(ReadFileBytes(path), "[Strings]\r\nsA=one\r\nsHand=edited\r\nsB=two\r\n");
}

TEST_F(IniForeignChange, TwoObjectsOnOneFileSeeEachOther) {
  IniFile a(path), b(path);
  EXPECT_EQ(b.ReadString("Set", "lngstr", "notset"), "notset");
  a.WriteString("Set", "lngstr", "_cn");
  EXPECT_EQ(b.ReadString("Set", "lngstr", "notset"), "_cn");
  b.WriteString("Set", "IsEnabled", "1");
  a.WriteString("Set", "lngstr", "_en");
  EXPECT_EQ(ReadFileBytes(path), "[Set]\r\nlngstr=_en\r\nIsEnabled=1\r\n");
}

}  // namespace
}  // namespace facset

// INI files as several programs meet them: concurrent writers, a UTF-8 BOM
// written by another editor, a file far too large to be a parameter file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr int kWritesEach = 150;

// Two processes write their own keys into one file at the same time: single
// writes in one, groups of ten in the other. No write may be lost.
TEST(IniConcurrency, TwoWritingProcessesLoseNothing) {
  TempDir dir;
  const std::string path = dir / "shared.ini";
  WriteFileBytes(path, "[head]\r\nkeep=1\r\n");
  auto spawnWriter = [&](int who) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    int rc = 0;
    try {
      IniFile ini(path);
      for (int i = 0; i < kWritesEach;) {
        if (who == 0) {
          ini.WriteInteger("a", "k" + std::to_string(i), i);
          ++i;
        } else {
          IniUpdate group(ini);
          for (int j = 0; j < 10 && i < kWritesEach; ++j, ++i) ini.WriteInteger("b", "k" + std::to_string(i), i);
          group.Commit();
        }
      }
    } catch (...) {
      rc = 1;
    }
    ::_exit(rc);
  };
  const pid_t a = spawnWriter(0), b = spawnWriter(1);
  for (pid_t p : {a, b}) {
    int ws = 0;
    ASSERT_EQ(::waitpid(p, &ws, 0), p);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  }
  IniFile ini(path);
  int lost = 0;
  for (const char* section : {"a", "b"}) {
    for (int i = 0; i < kWritesEach; ++i) lost += ini.ReadInteger(section, "k" + std::to_string(i), -1) != i;
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(ini.ReadString("head", "keep", ""), "1");
  // The lock file goes with the write; only the file itself stays.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// A change another program makes while a group is open stays; the group's
// writes land on top of it.
TEST(IniConcurrency, GroupKeepsAChangeMadeMeanwhile) {
  TempDir dir;
  const std::string path = dir / "g.ini";
  WriteFileBytes(path, "[a]\r\nk=0\r\n");
  IniFile ini(path), other(path);
  {
    IniUpdate group(ini);
    ini.WriteString("a", "k", "1");
    ini.WriteString("b", "n", "2");
    other.WriteString("a", "theirs", "3");
    other.WriteString("a", "k", "9");  // the group wrote k last: its value wins
    group.Commit();
  }
  EXPECT_EQ(ReadFileBytes(path), "[a]\r\nk=1\r\ntheirs=3\r\n[b]\r\nn=2\r\n");
}

TEST(IniBom, SkippedOnReadingAndKeptOnWriting) {
  TempDir dir;
  const std::string path = dir / "bom.ini";
  const std::string bom = "\xEF\xBB\xBF";
  WriteFileBytes(path, bom + "[port]\r\nip=127.0.0.1\r\n");
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("port", "ip", "none"), "127.0.0.1");
  ini.WriteString("port", "com", "2");
  EXPECT_EQ(ReadFileBytes(path), bom + "[port]\r\nip=127.0.0.1\r\ncom=2\r\n");
  // A BOM later in the file is data, and a file without one gets none.
  WriteFileBytes(path, "[a]\r\n" + bom + "k=1\r\n");
  EXPECT_EQ(ini.ReadString("a", bom + "k", ""), "1");
  ini.WriteString("a", "j", "2");
  EXPECT_EQ(ReadFileBytes(path), "[a]\r\n" + bom + "k=1\r\nj=2\r\n");
}

TEST(IniTooLarge, ReadingAndWritingFailInsteadOfSeeingAnEmptyFile) {
  TempDir dir;
  const std::string path = dir / "huge.ini";
  WriteFileBytes(path, "[a]\r\nk=1\r\n");
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("a", "k", ""), "1");
  // Sparse: no disk space is used.
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kIniMaxFileSize) + 1), 0);
  EXPECT_THROW(ini.ReadString("a", "k", ""), EIniTooLarge);
  EXPECT_THROW(ini.ReadInteger("a", "k", 0), EIniTooLarge);
  try {
    ini.WriteString("a", "k", "2");
    FAIL() << "no error";
  } catch (const EIniError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path + ": larger than 16 MiB");
  }
  EXPECT_EQ(std::filesystem::file_size(path), kIniMaxFileSize + 1);
}

}  // namespace
}  // namespace facset

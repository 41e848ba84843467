// What a write finds at its path when someone planted something there: links,
// FIFOs, devices, folders; the private temporary file; the bounded lock.

#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "platform/safe_files.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr uid_t kNobody = 65534;

bool IsFifo(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// Runs `body` in a child as nobody (when we are root); its return value, or 101.
template <typename F>
int AsNobody(F body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

// What an attacker or an odd system leaves at the path of one of the tool's own
// files; each must be refused without being followed, truncated or waited on.
struct Plant {
  const char* name;
  const char* refusal;  // the reason given
  void (*make)(const std::string& path, const std::string& victim);
};
const Plant kPlants[] = {
    {"a symbolic link to another file", "a symbolic link, not a regular file",
     [](const std::string& p, const std::string& victim) { std::filesystem::create_symlink(victim, p); }},
    {"a dangling symbolic link", "a symbolic link, not a regular file",
     [](const std::string& p, const std::string& victim) { std::filesystem::create_symlink(victim + ".new", p); }},
    {"a FIFO no one reads", "a FIFO, not a regular file",
     [](const std::string& p, const std::string&) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); }},
    {"a folder", "a folder, not a regular file",
     [](const std::string& p, const std::string&) { std::filesystem::create_directory(p); }},
};

TEST(SafeFiles, OwnFilesRefuseWhatWasPlantedAtTheirPath) {
  for (const Plant& plant : kPlants) {
    SCOPED_TRACE(plant.name);
    TempDir dir;
    const std::string victim = dir / "victim";
    WriteFileBytes(victim, "precious");
    const std::string path = dir / "DEBUG.LOG";
    plant.make(path, victim);

    std::string why;
    EXPECT_EQ(OpenRegularForWrite(path, true, why), -1);
    EXPECT_EQ(why, plant.refusal);
    EXPECT_EQ(CheckRegularOrAbsent(path), plant.refusal);
    EXPECT_EQ(ReplaceFileContent(path, "x", LinkPolicy::Refuse), plant.refusal);
    // An INI file of the tool's own: the write fails with the reason, reads still work.
    IniFile ini(path, LinkPolicy::Refuse);
    try {
      ini.WriteString("Set", "lngstr", "_en");
      ADD_FAILURE() << "written";
    } catch (const EIniError& e) {
      EXPECT_NE(std::string(e.what()).find(plant.refusal), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFileBytes(victim), "precious");
    EXPECT_FALSE(std::filesystem::exists(victim + ".new"));
  }
}

// A device node (as root, who may make one): never opened for writing.
TEST(SafeFiles, DeviceIsRefusedUnopened) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root makes device nodes";
  TempDir dir;
  const std::string path = dir / "facconfig.ini";
  ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);  // like /dev/null
  std::string why;
  EXPECT_EQ(OpenRegularForWrite(path, true, why), -1);
  EXPECT_EQ(why, "a device, not a regular file");
  EXPECT_THROW(IniFile(path, LinkPolicy::Refuse).WriteString("a", "k", "v"), EIniError);
}

TEST(SafeFiles, RegularOrAbsentFilesAreWritten) {
  TempDir dir;
  const std::string fresh = dir / "fresh", old = dir / "old";
  WriteFileBytes(old, "a long old content");
  for (const std::string& p : {fresh, old}) {
    std::string why;
    const int fd = OpenRegularForWrite(p, true, why);
    ASSERT_GE(fd, 0) << why;
    EXPECT_TRUE(WriteAllTo(fd, "new"));
    ::close(fd);
    EXPECT_EQ(ReadFileBytes(p), "new");
  }
}

// Files the operator names may be links: the target is written, the link
// stays, and the target keeps its owner and mode, also when this user may not
// give files away (then the file is rewritten in place).
TEST(SafeFiles, NamedLinkIsWrittenThroughKeepingOwnerAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a file of another user";
  struct Case {
    const char* name;
    uid_t writer;          // who writes
    uid_t owner;           // owner of the target
    gid_t group;
    mode_t mode;
  };
  const Case cases[] = {
      {"root writes nobody's file", 0, kNobody, kNobody, 0640},
      {"nobody writes root's file shared through its group", kNobody, 0, kNobody, 0664},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    std::filesystem::create_directory(dir / "shared");
    const std::string target = dir / "shared/station.ini", link = dir / "mine.ini";
    WriteFileBytes(target, "[a]\r\nk=1\r\n");
    ASSERT_EQ(::chown(target.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
    std::filesystem::create_symlink("shared/station.ini", link);
    const ino_t inode = testing::InodeOf(target);
    auto write = [&] {
      try {
        IniFile(link).WriteString("a", "k", "2");
      } catch (const EIniError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
      }
      return 0;
    };
    ASSERT_EQ(c.writer == 0 ? write() : AsNobody(write), 0);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.owner);
    EXPECT_EQ(st.st_gid, c.group);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(ReadFileBytes(target), "[a]\r\nk=2\r\n");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    if (c.writer != 0) {
      EXPECT_EQ(testing::InodeOf(target), inode) << "rewritten in place";
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "shared"), {}), 1) << "a file left behind";
  }
}

// With the kernel's protected_symlinks on, a link another user planted in a
// sticky shared folder is not followed, by anyone: the write goes through the
// kernel, not a readlink of its own.
TEST(SafeFiles, NamedLinkObeysProtectedSymlinks) {
  std::ifstream sysctl("/proc/sys/fs/protected_symlinks");
  int on = 0;
  if (!(sysctl >> on) || on != 1) GTEST_SKIP() << "fs.protected_symlinks is not 1 on this system";
  if (::geteuid() != 0) GTEST_SKIP() << "needs a link of another user";
  TempDir dir;
  const std::string shared = dir / "shared";
  std::filesystem::create_directory(shared);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const std::string victim = dir / "victim.ini";
  WriteFileBytes(victim, "[a]\r\nk=1\r\n");
  const std::string link = shared + "/station.ini";
  ASSERT_EQ(AsNobody([&] { return ::symlink(victim.c_str(), link.c_str()) == 0 ? 0 : 1; }), 0);
  EXPECT_THROW(IniFile(link).WriteString("a", "k", "2"), EIniError);
  EXPECT_EQ(ReadFileBytes(victim), "[a]\r\nk=1\r\n");
}

// The new content of a private file is never readable by others: its
// temporary file is 0600 from its creation on, whatever the umask.
TEST(SafeFiles, TemporaryFileIsPrivateFromTheStart) {
  TempDir dir;
  const std::string path = dir / "private.ini";
  WriteFileBytes(path, "[a]\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  const int in = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(in, 0);
  ASSERT_GE(::inotify_add_watch(in, dir.path().c_str(), IN_CREATE), 0);
  std::atomic<bool> done{false};
  std::vector<mode_t> seen;
  std::thread watcher([&] {
    alignas(inotify_event) char buf[4096];
    while (!done) {
      pollfd p{in, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = ::read(in, buf, sizeof buf);
      for (ssize_t off = 0; off < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
        struct stat st {};
        if (e->len > 0 && ::lstat((dir.path() + "/" + e->name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
          seen.push_back(st.st_mode & 07777);
        }
        off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  });
  const std::string big(4 << 20, 's');
  for (int i = 0; i < 10; ++i) ASSERT_EQ(ReplaceFileContent(path, big + std::to_string(i), LinkPolicy::Refuse), "");
  done = true;
  watcher.join();
  ::close(in);
  ASSERT_FALSE(seen.empty()) << "no temporary file was seen";
  for (mode_t m : seen) EXPECT_EQ(m, 0600u);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// A new file gets the mode a plain create would give it: 0666 less the umask.
TEST(SafeFiles, NewFileTakesTheUmask) {
  TempDir dir;
  const mode_t old = ::umask(027);
  EXPECT_EQ(ReplaceFileContent(dir / "n.ini", "x", LinkPolicy::Refuse), "");
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "n.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A write waits for another process's write only so long, then says which
// lock and which process; the file stays as it was.
TEST(SafeFiles, HeldLockEndsTheWaitNamingItsHolder) {
  TempDir dir;
  const std::string path = dir / "station.ini";
  WriteFileBytes(path, "[a]\r\nk=1\r\n");
  const std::string lock = dir / ".station.ini.lock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CREAT, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
    [[maybe_unused]] const ssize_t w = ::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  SetIniLockWait(std::chrono::milliseconds(300));
  IniFile ini(path);
  const auto start = std::chrono::steady_clock::now();
  try {
    ini.WriteString("a", "k", "2");
    ADD_FAILURE() << "written under another's lock";
  } catch (const EIniError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path + ": the lock " + lock + " is held by process " +
                                         std::to_string(holder) + " (platform_tests) (waited 300 ms)");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(ReadFileBytes(path), "[a]\r\nk=1\r\n");
  // Once the holder is gone the write goes through.
  ini.WriteString("a", "k", "2");
  EXPECT_EQ(ReadFileBytes(path), "[a]\r\nk=2\r\n");
  SetIniLockWait(kIniLockWait);
}

// Bounded reads: a file or pipe up to the bound, nothing else.
TEST(SafeFiles, ReadWholeFileTakesFilesAndPipesUpToTheBound) {
  TempDir dir;
  WriteFileBytes(dir / "small", "127.0.0.1\n");
  std::filesystem::create_directory(dir / "folder");
  WriteFileBytes(dir / "big", std::string(2048, 'x'));
  std::string data;
  EXPECT_EQ(ReadWholeFile(dir / "small", 1024, data), "");
  EXPECT_EQ(data, "127.0.0.1\n");
  EXPECT_EQ(ReadWholeFile(dir / "big", 1 << 20, data), "");
  EXPECT_EQ(ReadWholeFile(dir / "big", 1024, data), "larger than 1024 bytes");
  EXPECT_EQ(ReadWholeFile(dir / "folder", 1024, data, true), "a folder, not a regular file or a pipe");
  EXPECT_EQ(ReadWholeFile("/dev/zero", 1024, data, true), "a device, not a regular file or a pipe");
  // A pipe that never ends is cut at the bound.
  const auto savedPipe = ::signal(SIGPIPE, SIG_IGN);
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  std::thread writer([&] {
    const std::string chunk(4096, 'y');
    while (::write(p[1], chunk.data(), chunk.size()) > 0) {
    }
  });
  EXPECT_EQ(ReadWholeFile("/proc/self/fd/" + std::to_string(p[0]), std::uint64_t{1} << 20, data, true),
            "larger than 1 MiB");
  EXPECT_TRUE(data.empty());
  ::close(p[0]);
  writer.join();
  ::close(p[1]);
  ::signal(SIGPIPE, savedPipe);
  // Without allowPipe a FIFO is refused, not waited on.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadWholeFile(dir / "fifo", 1024, data), "a FIFO, not a regular file");
  EXPECT_TRUE(IsFifo(dir / "fifo"));
}

}  // namespace
}  // namespace facset

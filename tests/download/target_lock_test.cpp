// The station-wide lock per target, in process: what counts as one target,
// who is named as the holder, and a lock file that is not ours.
#include "download/target_lock.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "support/temp_files.h"

namespace facset {
namespace {

using namespace std::chrono_literals;

// A serial device under three names: its /dev path, a link to it, and a list
// name that resolves to the link; all are one target. Addresses differ by port.
TEST(TargetLock, OneDeviceUnderSeveralNamesIsOneTarget) {
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  testing::TempDir dir;
  const std::string link = dir / "scale-pty";
  std::filesystem::create_symlink(name, link);
  const std::string key = TargetLockKey(SerialTarget{name, name});
  EXPECT_EQ(TargetLockKey(SerialTarget{"COM1", link}), key);
  EXPECT_EQ(TargetLockKey(SerialTarget{link, link}), key);
  EXPECT_NE(TargetLockKey(SerialTarget{"COM2", "/dev/null"}), key);
  // A device that is not there yet is named by its path.
  EXPECT_EQ(TargetLockKey(SerialTarget{"COM9", dir / "gone"}).find("serial-path"), 0u);
  EXPECT_EQ(TargetLockKey(UdpTarget{"127.0.0.2", 5001}), "udp-127.0.0.2-5001");
  EXPECT_NE(TargetLockKey(UdpTarget{"127.0.0.2", 5002}), TargetLockKey(UdpTarget{"127.0.0.2", 5001}));
  ::close(slave);
  ::close(master);
}

// A second taker waits its bounded time, then is refused with the holder
// named; once the holder lets go, the target is free again. A wait given up
// says so.
TEST(TargetLock, SecondTakerIsRefusedNamingTheHolder) {
  ASSERT_FALSE(TargetLockFolder().empty());
  const DownloadTarget target = UdpTarget{"127.0.0.9", 40000 + ::getpid() % 20000};
  TargetLock::Taken first = TargetLock::Take(target, 0ms);
  ASSERT_TRUE(first.lock) << first.warning << first.refusal;

  const auto began = std::chrono::steady_clock::now();
  int tries = 0;
  const TargetLock::Taken second = TargetLock::Take(target, 200ms, [&] { return ++tries > 0; });
  EXPECT_GE(std::chrono::steady_clock::now() - began, 200ms);
  EXPECT_GT(tries, 1);
  EXPECT_FALSE(second.lock);
  EXPECT_FALSE(second.gaveUp);
  EXPECT_NE(second.refusal.find("the scale at 127.0.0.9:"), std::string::npos) << second.refusal;
  EXPECT_NE(second.refusal.find("in use by pid " + std::to_string(::getpid())), std::string::npos) << second.refusal;
  EXPECT_NE(second.refusal.find("nothing was sent"), std::string::npos) << second.refusal;

  const TargetLock::Taken stopped = TargetLock::Take(target, 10s, [] { return false; });
  EXPECT_FALSE(stopped.lock);
  EXPECT_TRUE(stopped.gaveUp);

  first.lock.reset();
  EXPECT_TRUE(TargetLock::Take(target, 0ms).lock);
}

// A link planted where a lock file belongs is never followed: the run goes on
// unlocked, with a warning, and the file it points at is untouched.
TEST(TargetLock, APlantedLinkIsNotFollowed) {
  const DownloadTarget target = UdpTarget{"127.0.0.8", 40000 + ::getpid() % 20000};
  const std::string path = TargetLockFolder() + "/facset-" + TargetLockKey(target) + ".lock";
  testing::TempDir dir;
  const std::string victim = dir / "victim";
  testing::WriteFileBytes(victim, "precious");
  std::filesystem::remove(path);
  std::filesystem::create_symlink(victim, path);
  const TargetLock::Taken t = TargetLock::Take(target, 0ms);
  std::filesystem::remove(path);
  EXPECT_FALSE(t.lock);
  EXPECT_EQ(t.refusal, "");
  EXPECT_NE(t.warning.find("not locked"), std::string::npos) << t.warning;
  EXPECT_EQ(testing::ReadFileBytes(victim), "precious");
}

}  // namespace
}  // namespace facset

// The link functions over ScaleComm, against scale-sim.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/paths.h"
#include "support/scripted_dialogs.h"
#include "protocol/scale_link.h"
#include "serial/serial_comm.h"
#include "support/sim_process.h"
#include "support/test_util.h"

namespace facset {
namespace {

using testing::SimProcess;
namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class Link : public ::testing::Test {
 protected:
  void SetUp() override {
    OverrideFilesDir(exeDir.path());
    CreateScaleComm();
  }
  void TearDown() override {
    DestroyScaleComm();
    OverrideLinkUdpPort(0);
    OverrideFilesDir("");
  }
  std::string TracePath() const { return exeDir.file("DEBUG.LOG"); }
  testing::TempDir exeDir;
  ScriptedDialogs dialogs;
};

TEST_F(Link, SerialOpenErrors) {
  EXPECT_EQ(LinkOpenSerial(exeDir.file("no-such-tty"), 0), -3);  // the first open of the program
  EXPECT_FALSE(ScaleComm->isActive());
  SimProcess sim({}, true);
  EXPECT_EQ(LinkOpenSerial(sim.ptyPath(), 5), -3);  // no such speed: nothing is sent
  EXPECT_FALSE(ScaleComm->isActive());
  EXPECT_EQ(sim.WaitLog(0).size(), 0u);
}

TEST_F(Link, CallsDuringAWaitAreRefused) {
  SimProcess sim({"--delay", "400"});
  OverrideLinkUdpPort(sim.udpPort());
  ScaleComm->SetRetryInterval(3000);
  ASSERT_EQ(LinkOpenUdp("127.0.0.1"), 0);
  int write = 0, close = 0, open = 0;
  testing::During(100, [&] {
    std::uint8_t junk[4] = {1, 2, 3, 4};
    write = LinkWriteBlock(80, 0, 0, junk, 4);
    close = LinkCloseUdp("127.0.0.1");
    open = LinkOpenSerial("/dev/null", 0);
  });
  const std::uint8_t marker[] = {0xA6};
  EXPECT_TRUE(ScaleComm->WriteBlock(80, 0, marker));
  EXPECT_EQ(write, -1);
  EXPECT_EQ(close, -1);
  EXPECT_EQ(open, -1);
  EXPECT_TRUE(ScaleComm->isActive());
  EXPECT_EQ(sim.WaitLog(2).size(), 2u);  // the log-on and the one block
  EXPECT_EQ(ReadFile(sim.paramFile())[0], 0xA6);
}

TEST_F(Link, SerialDownloadAndClose) {
  SimProcess sim({}, true);
  ScaleComm->SetRetryInterval(1000);
  std::ofstream(TracePath()) << "old trace\n";
  ASSERT_EQ(LinkOpenSerial(sim.ptyPath(), 0), 0);
  EXPECT_TRUE(ScaleComm->isActive());
  std::vector<std::uint8_t> block(256);
  for (int i = 0; i < 256; ++i) block[i] = static_cast<std::uint8_t>(i);
  block[0] = 0xA6;
  EXPECT_EQ(LinkWriteBlock(80, 0, 0, block.data(), 256), 0);
  EXPECT_EQ(ReadFile(sim.paramFile()), block);
  EXPECT_EQ(LinkCloseSerial(), 0);
  const auto log = sim.WaitLog(4);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[3].cmd, 14);
  EXPECT_EQ(log[3].arg, 2);
  EXPECT_FALSE(ScaleComm->isActive());
  EXPECT_TRUE(fs::exists(TracePath()));
  EXPECT_EQ(fs::file_size(TracePath()), 0u);
}

TEST_F(Link, SerialCloseWithoutReadingAnswer) {
  SimProcess sim({"--refuse", "14/3"}, true);
  ScaleComm->SetRetryInterval(1000);
  ScaleComm->SetRetryCount(1);
  std::ofstream(TracePath()) << "old trace\n";
  ASSERT_EQ(LinkOpenSerial(sim.ptyPath(), 0), 0);
  EXPECT_EQ(LinkCloseSerial(), -1);
  const auto log = sim.WaitLog(3);
  EXPECT_EQ(log.size(), 3u);  // log-on, two reading requests, no log-off
  EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](auto& e) { return e.cmd == 14 && e.arg == 2; }));
  EXPECT_FALSE(ScaleComm->isActive());
  EXPECT_EQ(fs::file_size(TracePath()), 0u);
}

TEST_F(Link, SilentUdpScale) {
  SimProcess sim({"--silent"});
  OverrideLinkUdpPort(sim.udpPort());
  ScaleComm->SetRetryInterval(30);
  EXPECT_EQ(LinkOpenUdp("127.0.0.1"), -1);
  EXPECT_EQ(sim.WaitLog(7).size(), 7u);
  EXPECT_EQ(ScaleComm->LastOutcome().end, RequestEnd::NoAnswer);
}

TEST_F(Link, UdpErrorDuringOpen) {
  EXPECT_EQ(LinkOpenUdp(""), -3);
  ASSERT_EQ(dialogs.calls.size(), 1u);
  EXPECT_EQ(dialogs.calls[0].text, "Send exception");
}

TEST_F(Link, WriteBlockPayloadAndArgument) {
  SimProcess sim;
  OverrideLinkUdpPort(sim.udpPort());
  ScaleComm->SetRetryInterval(1000);
  ASSERT_EQ(LinkOpenUdp("127.0.0.1"), 0);

  std::vector<std::uint8_t> data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  struct Case {
    int length;
    std::size_t copied;
  };
  for (const Case c : {Case{300, 256}, Case{10, 10}, Case{0, 0}}) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(LinkWriteBlock(80, 0, 0, data.data(), c.length), 0);
    std::vector<std::uint8_t> want(256, 0);
    std::copy_n(data.begin(), c.copied, want.begin());
    EXPECT_EQ(ReadFile(sim.paramFile()), want);
  }

  EXPECT_EQ(LinkWriteBlock(15, 0x20, 0x01, data.data(), 256), 0);
  const auto log = sim.WaitLog(5);
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[4].cmd, 15);
  EXPECT_EQ(log[4].arg, 0x0120);

  EXPECT_EQ(LinkCloseUdp("127.0.0.1"), 0);
  EXPECT_FALSE(fs::exists(TracePath()));  // a UDP link writes no trace
}

TEST_F(Link, ShutdownHooks) {
  TPBusComm* first = ScaleComm;
  CreateScaleComm();
  EXPECT_EQ(ScaleComm, first);
  DestroyScaleComm();
  EXPECT_EQ(ScaleComm, nullptr);
  EXPECT_EQ(LinkOpenUdp("127.0.0.1"), -1);  // no engine: refused, no crash
  CreateScaleComm();
  EXPECT_NE(ScaleComm, nullptr);
}

}  // namespace
}  // namespace facset

// TComm on a pseudo-terminal: opening, errors, reception, transmission, the
// events' delivery and closing.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "pty_fixture.h"
#include "serial/serial_comm.h"
#include "support/temp_files.h"

namespace facset {
namespace {

using testing::OpenFdCount;
using testing::Pattern;
using testing::ProcessFor;
using testing::ProcessUntil;
using testing::Pty;
using testing::Recorder;
using testing::ThreadCount;
using testing::UsePlainLine;

using testing::TempDir;

std::string OpenError(TComm& comm) {
  try {
    comm.OpenPort();
  } catch (const ECommsError& e) {
    return e.what();
  }
  return "<opened>";
}

// The component on the slave of a fresh pty, every event recorded.
class OnPty : public ::testing::Test {
 protected:
  OnPty() {
    rec.Attach(comm);
    UsePlainLine(comm, pty);
  }
  // Opens and waits for the notification every opening starts with.
  void OpenSettled() {
    comm.OpenPort();
    ASSERT_TRUE(ProcessUntil([&] { return rec.sendEmpty == 1; }));
  }
  Pty pty;
  TComm comm;
  Recorder rec;
};
class SerialEvents : public OnPty {};
class SerialOpen : public OnPty {};
class SerialReceive : public OnPty {};
class SerialTransmit : public OnPty {};

TEST(SerialDefaults, DefaultsOfAFreshComponent) {
  TComm c;
  EXPECT_EQ(c.CommName(), "COM2");
  EXPECT_EQ(c.BaudRate(), 9600u);
  EXPECT_FALSE(c.ParityCheck());
  EXPECT_FALSE(c.Outx_CtsFlow());
  EXPECT_FALSE(c.Outx_DsrFlow());
  EXPECT_EQ(c.DtrControl(), TDtrControl::DtrEnable);
  EXPECT_FALSE(c.DsrSensitivity());
  EXPECT_TRUE(c.TxContinueOnXoff());
  EXPECT_TRUE(c.Outx_XonXoffFlow());
  EXPECT_TRUE(c.Inx_XonXoffFlow());
  EXPECT_FALSE(c.ReplaceWhenParityError());
  EXPECT_FALSE(c.IgnoreNullChar());
  EXPECT_EQ(c.RtsControl(), TRtsControl::RtsEnable);
  EXPECT_EQ(c.XonLimit(), 500);
  EXPECT_EQ(c.XoffLimit(), 500);
  EXPECT_EQ(c.ByteSize(), TByteSize::_8);
  EXPECT_EQ(c.Parity(), TParity::None);
  EXPECT_EQ(c.StopBits(), TStopBits::_1);
  EXPECT_EQ(c.XonChar(), 0x11);
  EXPECT_EQ(c.XoffChar(), 0x13);
  EXPECT_EQ(c.ReplacedChar(), 0x00);
  EXPECT_EQ(c.ReadIntervalTimeout(), 100u);
  EXPECT_EQ(c.ReadTotalTimeoutMultiplier(), 0u);
  EXPECT_EQ(c.ReadTotalTimeoutConstant(), 0u);
  EXPECT_EQ(c.WriteTotalTimeoutMultiplier(), 0u);
  EXPECT_EQ(c.WriteTotalTimeoutConstant(), 0u);
  EXPECT_FALSE(c.IsOpen());
  // "COM2" is no device here: the default name fails cleanly.
  EXPECT_EQ(OpenError(c).rfind(kCommErrOpening, 0), 0u);
}

// Every failing open names its cause and leaves no descriptor or thread behind.
TEST(SerialOpenErrors, FailuresLeaveNothingOpen) {
  TempDir dir;
  const std::string file = dir.path() + "/plain.txt";
  std::ofstream(file) << "not a port";
  struct Case {
    const char* label;
    std::string path;
    std::string expected;  // exact text, or the prefix when it ends in ':'
  };
  const Case cases[] = {
      {"missing path", dir.path() + "/ttyNONE", std::string(kCommErrOpening) + ":"},
      {"directory", dir.path(), std::string(kCommErrOpening) + ":"},
      {"regular file", file, kCommErrNotComm},
      {"character device that is no terminal", "/dev/null", kCommErrNotComm},
  };
  const int fds = OpenFdCount();
  const int threads = ThreadCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TComm comm;
    comm.SetCommName(c.path);
    const std::string msg = OpenError(comm);
    if (c.expected.back() == ':')
      EXPECT_EQ(msg.rfind(c.expected, 0), 0u) << msg;
    else
      EXPECT_EQ(msg, c.expected);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_EQ(ThreadCount(), threads);
  }
  EXPECT_STREQ(kCommErrNotComm, "File handle is not a comm handle ");
}

TEST_F(SerialOpen, MissingPathThenValidPathOpens) {
  comm.SetCommName("/dev/facset-no-such-port");
  EXPECT_EQ(OpenError(comm), std::string(kCommErrOpening) + ": No such file or directory");
  UsePlainLine(comm, pty);
  ASSERT_NO_THROW(comm.OpenPort());
  EXPECT_TRUE(comm.IsOpen());
  pty.Write("ok");
  EXPECT_TRUE(ProcessUntil([&] { return rec.data == "ok"; }));
}

TEST_F(SerialOpen, SecondOpenIsRefusedAndFirstKeepsWorking) {
  comm.OpenPort();
  EXPECT_EQ(OpenError(comm), kCommErrAlreadyOpened);
  ASSERT_TRUE(comm.IsOpen());
  pty.Write("in");
  EXPECT_TRUE(ProcessUntil([&] { return rec.data == "in"; }));
  ASSERT_TRUE(comm.SendData("out", 3));
  EXPECT_EQ(pty.Read(3), "out");
}

// A port held by another TComm, or locked by another process, is busy; it can
// be had once the holder lets go.
TEST(SerialOpenErrors, BusyPortIsRefusedUntilReleased) {
  Pty pty;
  TComm first, second;
  UsePlainLine(first, pty);
  UsePlainLine(second, pty);
  first.OpenPort();
  const int fds = OpenFdCount();
  EXPECT_EQ(OpenError(second), std::string(kCommErrOpening) + ": Device or resource busy");
  EXPECT_EQ(OpenFdCount(), fds);
  first.ClosePort();
  EXPECT_NO_THROW(second.OpenPort());
  second.ClosePort();

  const int holder = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenError(second).rfind(kCommErrOpening, 0), 0u);
  close(holder);
  EXPECT_NO_THROW(second.OpenPort());
}

TEST_F(SerialOpen, OpenCloseCyclesLeakNothing) {
  const int fds = OpenFdCount();
  const int threads = ThreadCount();
  for (int i = 0; i < 5; ++i) {
    comm.OpenPort();
    EXPECT_EQ(ThreadCount(), threads + 2);
    ASSERT_TRUE(comm.SendData("x", 1));
    comm.ClosePort();
    EXPECT_FALSE(comm.IsOpen());
    comm.ClosePort();  // closing twice is harmless
  }
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_EQ(ThreadCount(), threads);
  TComm never;
  never.ClosePort();
}

TEST_F(SerialReceive, BurstLongerThanOneReadArrivesInOrderInBoundedChunks) {
  comm.SetReadIntervalTimeout(20);
  comm.OpenPort();
  const std::string burst = Pattern(9000);
  pty.Write(burst);
  ASSERT_TRUE(ProcessUntil([&] { return rec.data.size() >= burst.size(); }));
  EXPECT_EQ(rec.data, burst);
  EXPECT_GE(rec.chunks.size(), 5u);
  for (std::size_t n : rec.chunks) {
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, 2048u);
  }
  EXPECT_FALSE(rec.offThread);
}

// The interval time-out decides when a read is handed over; without it only a
// full buffer or a total time-out does.
TEST_F(SerialReceive, TimeoutsDecideWhenAReadCompletes) {
  comm.SetReadIntervalTimeout(0);
  comm.OpenPort();
  pty.Write(std::string(10, 'a'));
  ProcessFor(300);
  EXPECT_TRUE(rec.chunks.empty()) << "no interval and no total: the read waits for a full buffer";
  pty.Write(std::string(2038, 'b'));
  ASSERT_TRUE(ProcessUntil([&] { return !rec.chunks.empty(); }));
  EXPECT_EQ(rec.chunks.front(), 2048u);

  comm.SetReadTotalTimeoutConstant(30);  // re-applied on the open port
  pty.Write("xyz");
  ASSERT_TRUE(ProcessUntil([&] { return rec.chunks.size() == 2; }));
  EXPECT_EQ(rec.data.substr(2048), "xyz");

  comm.SetReadTotalTimeoutConstant(0);
  comm.SetReadIntervalTimeout(1);
  pty.Write("q");
  ASSERT_TRUE(ProcessUntil([&] { return rec.chunks.size() == 3; }));
  EXPECT_EQ(rec.data.back(), 'q');
}

TEST_F(SerialReceive, IgnoreNullCharDropsZeroBytes) {
  comm.SetReadIntervalTimeout(5);
  comm.OpenPort();
  const std::string withZeros("a\0b\0\0c", 6);
  pty.Write(withZeros);
  ASSERT_TRUE(ProcessUntil([&] { return rec.data.size() == 6; }));
  EXPECT_EQ(rec.data, withZeros);

  comm.SetIgnoreNullChar(true);  // takes effect on the open port
  rec.data.clear();
  pty.Write(withZeros + "d");
  ASSERT_TRUE(ProcessUntil([&] { return rec.data.size() >= 4; }));
  ProcessFor(50);
  EXPECT_EQ(rec.data, "abcd");
  pty.Write(std::string(3, '\0'));
  ProcessFor(100);
  EXPECT_EQ(rec.data, "abcd") << "a read of zero bytes only is not delivered";
}

TEST_F(SerialTransmit, OneNotificationRightAfterOpen) {
  OpenSettled();
  ProcessFor(200);
  EXPECT_EQ(rec.sendEmpty, 1);
  EXPECT_EQ(pty.Drain(0), "");
}

// Requests queued while the first is still being written go out in call
// order and are reported drained once, after the last.
TEST_F(SerialTransmit, QueuedRequestsAreWrittenInOrderAndReportedOnce) {
  OpenSettled();
  const std::string a = Pattern(65535, 1), b = Pattern(40000, 2), c = Pattern(302, 3);
  ASSERT_TRUE(comm.SendData(a.data(), static_cast<std::uint16_t>(a.size())));
  ASSERT_TRUE(comm.SendData(b.data(), static_cast<std::uint16_t>(b.size())));
  ASSERT_TRUE(comm.SendData(c.data(), static_cast<std::uint16_t>(c.size())));
  // The pty holds far less than this, so the writer is still busy with the
  // first request while the others wait behind it.
  const std::string got = pty.Read(a.size() + b.size() + c.size());
  ASSERT_EQ(got.size(), a.size() + b.size() + c.size());
  EXPECT_TRUE(got == a + b + c);
  ASSERT_TRUE(ProcessUntil([&] { return rec.sendEmpty >= 2; }));
  ProcessFor(200);
  EXPECT_EQ(rec.sendEmpty, 2) << "one after opening, one for the burst";

  ASSERT_TRUE(comm.SendData("z", 1));
  EXPECT_EQ(pty.Read(1), "z");
  ASSERT_TRUE(ProcessUntil([&] { return rec.sendEmpty == 3; }));
  EXPECT_FALSE(rec.offThread);
}

TEST_F(SerialTransmit, SendDataRefusedWhenClosedOrEmpty) {
  EXPECT_FALSE(comm.SendData("abc", 3));
  comm.OpenPort();
  EXPECT_FALSE(comm.SendData("abc", 0));
  EXPECT_FALSE(comm.SendData(nullptr, 3));
  comm.ClosePort();
  EXPECT_FALSE(comm.SendData("abc", 3));
  EXPECT_EQ(pty.Drain(), "");
}

// A write that cannot proceed, held by a received XOFF or by a far end that
// does not read, must not hold up ClosePort; what was not written is dropped.
TEST(SerialClose, CloseWhileAWriteIsHeld) {
  struct Case {
    const char* label;
    bool xoff;
  };
  for (const Case c : {Case{"held by XOFF", true}, Case{"pty buffer full", false}}) {
    SCOPED_TRACE(c.label);
    Pty pty;
    TComm comm;
    Recorder rec;
    rec.Attach(comm);
    comm.SetCommName(pty.path());
    comm.SetOutx_XonXoffFlow(c.xoff);
    comm.SetInx_XonXoffFlow(false);
    comm.OpenPort();
    ASSERT_TRUE(ProcessUntil([&] { return rec.sendEmpty == 1; }));
    if (c.xoff) {
      pty.Write("\x13");
      ProcessFor(100);
    }
    const std::string big = Pattern(60000);
    ASSERT_TRUE(comm.SendData(big.data(), static_cast<std::uint16_t>(big.size())));
    ASSERT_TRUE(comm.SendData(big.data(), static_cast<std::uint16_t>(big.size())));
    ProcessFor(200);
    const auto start = std::chrono::steady_clock::now();
    comm.ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(comm.IsOpen());
    const std::string sent = pty.Drain();
    if (c.xoff) {
      EXPECT_EQ(sent.size(), 0u);
    }
    EXPECT_LT(sent.size(), big.size());
    ProcessFor(50);
    EXPECT_EQ(rec.sendEmpty, 1);
    EXPECT_EQ(rec.hangups, 0);
  }
}

// The far end going away gives one hang-up request; both threads end without
// spinning and the port stays open until the owner closes it.
TEST(SerialHangup, FarEndClosedGivesOneRequestAndThreadsEnd) {
  const int threads = ThreadCount();
  auto pty = std::make_unique<Pty>();
  TComm comm;
  Recorder rec;
  rec.Attach(comm);
  UsePlainLine(comm, *pty);
  comm.SetReadIntervalTimeout(1000);
  comm.OpenPort();
  ASSERT_TRUE(ProcessUntil([&] { return rec.sendEmpty == 1; }));
  pty->Write("tail");
  // Closing the master flushes what has not been read on the slave side; the
  // bytes reach the slave's buffer a little after the write.
  ProcessFor(200);
  ASSERT_TRUE(ProcessUntil([&] { return pty->Unread() == 0; }));
  pty->CloseMaster();
  ASSERT_TRUE(ProcessUntil([&] { return rec.hangups == 1; }));
  EXPECT_EQ(rec.data, "tail") << "bytes received before the hang-up are still delivered";
  EXPECT_TRUE(ProcessUntil([&] { return ThreadCount() == threads; }));
  ProcessFor(200);
  EXPECT_EQ(rec.hangups, 1);
  EXPECT_TRUE(comm.IsOpen());
  EXPECT_FALSE(comm.SendData("x", 1));
  comm.ClosePort();
  EXPECT_FALSE(comm.IsOpen());

  Pty next;
  UsePlainLine(comm, next);
  comm.OpenPort();
  pty.reset();
  ASSERT_TRUE(comm.SendData("again", 5));
  EXPECT_EQ(next.Read(5), "again");
}

TEST(SerialHangup, OwnerMayCloseFromTheHandler) {
  Pty pty;
  TComm comm;
  int calls = 0;
  comm.OnRequestHangup = [&](TComm& sender) {
    ++calls;
    sender.ClosePort();
  };
  UsePlainLine(comm, pty);
  comm.OpenPort();
  pty.CloseMaster();
  ASSERT_TRUE(ProcessUntil([&] { return !comm.IsOpen(); }));
  ProcessFor(100);
  EXPECT_EQ(calls, 1);
}

// What a closed opening posted is not raised any more: it would be taken for
// an answer on the next opening.
TEST_F(SerialEvents, NotificationsOfAClosedOpeningAreDropped) {
  comm.SetReadIntervalTimeout(1);
  comm.OpenPort();
  pty.Write("stale");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // posted, not yet raised
  comm.ClosePort();
  OpenSettled();
  ProcessFor(100);
  EXPECT_EQ(rec.data, "");
  EXPECT_EQ(rec.sendEmpty, 1) << "only the new opening's notification";
  pty.Write("fresh");
  ASSERT_TRUE(ProcessUntil([&] { return rec.data == "fresh"; }));
}

TEST(SerialLifetime, DestroyingWithNotificationsQueuedIsSafe) {
  Pty pty;
  bool raised = false;
  {
    TComm comm;
    comm.OnReceiveData = [&](TComm&, const std::uint8_t*, std::uint16_t) { raised = true; };
    comm.OnSendDataEmpty = [&](TComm&) { raised = true; };
    UsePlainLine(comm, pty);
    comm.SetReadIntervalTimeout(1);
    comm.OpenPort();
    pty.Write("pending");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }  // destroyed open, with its events still in the queue
  ProcessFor(100);
  EXPECT_FALSE(raised);
}

TEST_F(SerialEvents, HandlerMayReplaceItselfAndBufferEndsWithZero) {
  std::string got;
  bool terminated = false;
  comm.OnReceiveData = [&](TComm& sender, const std::uint8_t* buf, std::uint16_t len) {
    sender.OnReceiveData = nullptr;  // the running handler (and its captures) must survive this
    got.assign(reinterpret_cast<const char*>(buf), len);
    terminated = buf[len] == 0;
  };
  comm.SetReadIntervalTimeout(1);
  comm.OpenPort();
  pty.Write("one");
  ASSERT_TRUE(ProcessUntil([&] { return !got.empty(); }));
  EXPECT_EQ(got, "one");
  EXPECT_TRUE(terminated);
  pty.Write("two");
  ProcessFor(100);
  EXPECT_EQ(got, "one");
}

}  // namespace
}  // namespace facset

#include "serial/serial_comm.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <system_error>

#include <QObject>

#include "serial/serial_custom_speed.h"
#include "serial/serial_termios.h"
#include "serial/serial_threads.h"

namespace facset {

using serial_detail::CommNotifyEvent;
using serial_detail::CommSession;
using serial_detail::NotifyKind;

// Lives on the creating thread and hands the workers' posted events to the
// component there. Deleting it discards whatever is still queued for it.
class CommNotifier : public QObject {
 public:
  explicit CommNotifier(TComm* owner) : owner_(owner) {}
  bool event(QEvent* e) override {
    if (e->type() != CommNotifyEvent::EventType()) return QObject::event(e);
    owner_->HandleNotification(e);
    return true;
  }

 private:
  TComm* owner_;
};

namespace {

std::string WithReason(const char* message, int err) {
  return std::string(message) + ": " + std::generic_category().message(err);
}

void SetModemLine(int fd, int line, bool on) {
  // Pseudo-terminals and some adapters answer ENOTTY/EINVAL: nothing to drive.
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

// RTS raised only while sending: the driver's RS-485 mode is the one way to
// have the kernel toggle it. Drivers without it keep RTS as it is.
void SetRtsToggle(int fd, bool on) {
  serial_rs485 rs{};
  if (ioctl(fd, TIOCGRS485, &rs) != 0) return;
  const bool enabled = (rs.flags & SER_RS485_ENABLED) != 0;
  if (enabled == on) return;
  if (on) {
    rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs.flags &= ~SER_RS485_RTS_AFTER_SEND;
  } else {
    rs.flags &= ~SER_RS485_ENABLED;
  }
  ioctl(fd, TIOCSRS485, &rs);
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

TComm::TComm() : notifier_(new CommNotifier(this)) {}

TComm::~TComm() {
  // Unlike a component that leaves this to its owner, close here: running
  // threads must not outlive the object they report to.
  ClosePort();
  delete notifier_;
}

void TComm::OpenPort() {
  if (IsOpen()) throw ECommsError(kCommErrAlreadyOpened);

  int fd = open(commName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw ECommsError(WithReason(kCommErrOpening, errno));
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd)) {
    CloseFd(fd);
    throw ECommsError(kCommErrNotComm);
  }
  // TIOCEXCL keeps other openers out but not root; the advisory lock covers
  // root and every other TComm.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    CloseFd(fd);
    throw ECommsError(WithReason(kCommErrOpening, err));
  }
  ioctl(fd, TIOCEXCL);
  tcflush(fd, TCIOFLUSH);

  int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int lineGoneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd < 0 || wakeFd < 0 || lineGoneFd < 0) {
    CloseFd(stopFd);
    CloseFd(wakeFd);
    CloseFd(lineGoneFd);
    ioctl(fd, TIOCNXCL);
    CloseFd(fd);
    throw ECommsError(kCommErrCreateEvent);
  }

  fd_ = fd;
  drainedUpTo_ = 0;
  deliveryWritten_ = 0;
  ++generation_;
  session_ = std::make_shared<CommSession>(fd, stopFd, wakeFd, lineGoneFd, notifier_, generation_);
  ApplyCommTimeouts();
  ApplyCommState();

  try {
    readerThread_ = std::make_unique<TReadThread>(session_);
  } catch (const std::exception&) {
    ClosePort();
    throw ECommsError(kCommErrReadThread);
  }
  try {
    writerThread_ = std::make_unique<TWriteThread>(session_);
  } catch (const std::exception&) {
    ClosePort();
    throw ECommsError(kCommErrWriteThread);
  }
}

void TComm::ClosePort() {
  if (!IsOpen()) return;
  StopReadThread();
  StopWriteThread();
  // Empty both driver buffers and lift a received XOFF first: a real UART's
  // close would otherwise wait for output that cannot leave.
  tcflush(fd_, TCIOFLUSH);
  tcflow(fd_, TCOON);
  ioctl(fd_, TIOCNXCL);
  int stopFd = session_->stopFd;
  int wakeFd = session_->wakeFd;
  int lineGoneFd = session_->lineGoneFd;
  session_.reset();  // drops the requests still queued
  CloseFd(stopFd);
  CloseFd(wakeFd);
  CloseFd(lineGoneFd);
  CloseFd(fd_);
  ++generation_;  // whatever the threads posted is stale now
}

static void SignalStop(CommSession& s) {
  if (s.stopped.exchange(true)) return;
  const std::uint64_t one = 1;
  (void)!write(s.stopFd, &one, sizeof one);
}

void TComm::StopReadThread() {
  if (!readerThread_) return;
  SignalStop(*session_);
  tcflush(fd_, TCIFLUSH);
  readerThread_->Join();
  readerThread_.reset();
}

void TComm::StopWriteThread() {
  if (!writerThread_) return;
  SignalStop(*session_);
  tcflush(fd_, TCOFLUSH);
  writerThread_->Join();
  writerThread_.reset();
}

void TComm::Withdraw() {
  if (!IsOpen() || !session_) return;
  CommSession& s = *session_;
  s.withdrawUpTo.store(s.queued.load());
  s.DropQueue();
  tcflush(fd_, TCOFLUSH);
  const std::uint64_t one = 1;
  (void)!write(s.wakeFd, &one, sizeof one);
}

std::uint64_t TComm::QueuedCount() const { return session_ ? session_->queued.load() : 0; }

bool TComm::SendData(const void* Buffer, std::uint16_t Length) {
  if (!IsOpen() || !writerThread_ || Length == 0 || Buffer == nullptr) return false;
  return session_->Enqueue(Buffer, Length);
}

void TComm::ApplyCommTimeouts() {
  if (!session_) return;
  session_->readInterval.store(readIntervalTimeout_);
  session_->readTotalMultiplier.store(readTotalTimeoutMultiplier_);
  session_->readTotalConstant.store(readTotalTimeoutConstant_);
  // The write totals only bound one write call; the rest of the request is
  // written after it anyway, so they change nothing on the line.
}

void TComm::ApplyCommState() {
  if (!IsOpen()) return;
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return;
  serial_detail::LineSettings ls;
  ls.baudRate = baudRate_;
  ls.byteSize = byteSize_;
  ls.parity = parity_;
  ls.stopBits = stopBits_;
  ls.parityCheck = parityCheck_;
  // One flag covers CTS output flow and RTS input flow on Linux.
  ls.ctsFlow = outxCtsFlow_ || rtsControl_ == TRtsControl::RtsHandshake;
  ls.xonOut = outxXonXoffFlow_;
  ls.xonIn = inxXonXoffFlow_;
  ls.xonChar = xonChar_;
  ls.xoffChar = xoffChar_;
  serial_detail::MakeLineTermios(t, ls);
  // A refused setting is not reported; the port keeps what it had.
  tcsetattr(fd_, TCSANOW, &t);
  if (serial_detail::StandardSpeed(baudRate_) == B0 && baudRate_ != 0)
    serial_detail::SetCustomSpeed(fd_, baudRate_);

  SetModemLine(fd_, TIOCM_DTR, dtrControl_ != TDtrControl::DtrDisable);
  SetRtsToggle(fd_, rtsControl_ == TRtsControl::RtsTransmissionAvailable);
  if (rtsControl_ != TRtsControl::RtsTransmissionAvailable)
    SetModemLine(fd_, TIOCM_RTS, rtsControl_ != TRtsControl::RtsDisable);

  termios now{};
  const bool marks = tcgetattr(fd_, &now) == 0 && (now.c_iflag & PARMRK) && (now.c_iflag & INPCK);
  session_->parityMarks.store(marks);
  session_->ignoreNull.store(ignoreNullChar_);
  session_->replaceOnError.store(replaceWhenParityError_);
  session_->replacedChar.store(replacedChar_);
  session_->baudRate.store(baudRate_);
  session_->bitsPerChar.store(serial_detail::BitsPerChar(ls));
}

void TComm::HandleNotification(QEvent* event) {
  auto* ev = static_cast<CommNotifyEvent*>(event);
  if (!IsOpen() || ev->generation != generation_) return;
  // Call a copy: a handler may reassign the event or destroy this object, so
  // nothing of `this` is touched after the call.
  switch (ev->kind) {
    case NotifyKind::ReceiveData:
      deliveryWritten_ = ev->written;
      if (auto h = OnReceiveData) h(*this, ev->data.get(), static_cast<std::uint16_t>(ev->value));
      break;
    case NotifyKind::ReceiveError:
      if (auto h = OnReceiveError) h(*this, ev->value);
      break;
    case NotifyKind::ModemState:
      if (auto h = OnModemStateChange) h(*this, ev->value);
      break;
    case NotifyKind::RequestHangup:
      if (auto h = OnRequestHangup) h(*this);
      break;
    case NotifyKind::SendEmpty:
      drainedUpTo_ = ev->written;
      if (auto h = OnSendDataEmpty) h(*this);
      break;
  }
}

}  // namespace facset

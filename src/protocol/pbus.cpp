#include "protocol/pbus.h"

#include <QtGlobal>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "platform/paths.h"
#include "platform/safe_files.h"
#include "platform/text_encoding.h"
#include "protocol/pbus_commands.h"

namespace facset {

LocalClock SystemLocalClock() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return LocalClock{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

const char* RequestEndName(RequestEnd end) {
  switch (end) {
    case RequestEnd::Proven: return "proven";
    case RequestEnd::NotProven: return "not proven";
    case RequestEnd::Refused: return "refused";
    case RequestEnd::NoAnswer: return "no answer";
    case RequestEnd::Aborted: return "aborted";
    case RequestEnd::LineGone: return "line gone";
    case RequestEnd::Held: return "held";
    case RequestEnd::Busy: return "busy";
  }
  return "?";
}

bool LinkReview::AllProven() const {
  return std::none_of(requests.begin(), requests.end(),
                      [](const RequestOutcome& r) { return r.end == RequestEnd::NotProven; });
}

std::string LinkReview::IgnoredText() const {
  std::string out;
  for (const auto& [what, n] : ignored) {
    out += out.empty() ? "ignored: " : ", ";
    out += std::to_string(n) + " x " + what;
  }
  return out;
}

// ---------------------------------------------------------------- the account
//
// Every transmission that reached the line and every answer that came back,
// with their times. An answer carries no request number, so whether an answer
// proves its request is a question about the whole link:
// - a transmission whose own wait went unanswered may still be answered up to
//   the late limit after it left: until then it is owed, and the next request
//   waits it out. A count of answers cannot clear it, since a copy of another
//   answer would count the same.
// - a stray answer that arrives while nothing is owed, or answers outnumbering
//   transmissions, show a scale that sends copies. Then an answer proves its
//   request only when the request left after a quiet time longer than the
//   copy window, and no earlier request whose own answer is in doubt could
//   still be answered; a late answer's copy may follow it by the copy window,
//   so what is owed is owed that much longer.
// The account is judged once when a request ends and again, with all the
// link showed, when it is reviewed at its close.
struct TPBusComm::Account {
  struct Tx {
    std::int64_t at = 0;
    std::size_t request = 0;
    int speed = -1;              // index of the line speed (serial log-on), -1 otherwise
    bool owed = true;            // an answer may still come for it
    bool waitAnswered = false;   // its own wait got an answer
  };
  struct Req {
    RequestOutcome outcome;
    std::int64_t sentAt = 0;        // the transmission whose wait got the answer
    std::int64_t quietBefore = -1;  // ms since the link's last answer when it left (-1: none before)
    std::size_t firstTx = 0;        // index of its first transmission in txs
    bool closing = false;           // the read and log-off that close the link: no step rests on them
  };
  std::vector<Tx> txs;
  std::vector<Req> reqs;
  std::map<std::string, std::uint64_t> ignored;
  std::uint64_t answers = 0;
  std::uint64_t strays = 0;
  bool copies = false;
  std::int64_t copyGap = 0;
  // Looks for copies: after the link's first verdicts, and after more of
  // them for every sign that a copy may have stood in for a lost answer (a
  // loss hides a copy by giving it a request to be credited to): a
  // transmission that went unanswered, or an answer to a request that left
  // within the copy window of another answer coming slower than the link's
  // answers come.
  int looks = 0;
  std::int64_t lookedAfter = LLONG_MIN;
  int doubts = 0;
  std::int64_t quickest = LLONG_MAX;  // the quickest verdict, ms after its transmission left
  bool lastWasVerdict = false;
  static constexpr int kLooksPerDoubt = 2;
  static constexpr int kLooksForDoubts = 8;
  static constexpr std::int64_t kAnswerJitterMs = 20;
  int LooksDue() const { return kCopyLooks + std::min(kLooksForDoubts, kLooksPerDoubt * doubts); }
  // A verdict `ms` after its transmission left, to a request that left
  // `quietBefore` ms after the last answer.
  void Verdict(std::int64_t ms, std::int64_t quietBefore) {
    if (quietBefore >= 0 && quietBefore < CopyQuiet() && quickest != LLONG_MAX && ms > 2 * quickest + kAnswerJitterMs)
      ++doubts;
    quickest = std::min(quickest, ms);
  }
  std::int64_t lastAnswerAt = LLONG_MIN;
  int lateLimit = 3000;

  // How long after it left an unanswered transmission may still be answered:
  // the late limit, and on a link that sends copies, the copy of a late
  // answer may follow it by up to the copy window.
  std::int64_t OwedFor() const { return lateLimit + (copies ? kCopyWindowMs : 0); }
  bool Owed(const Tx& t, std::int64_t now) const { return t.owed && !t.waitAnswered && t.at + OwedFor() > now; }

  // The transmissions whose own wait went unanswered, in time order: few on a
  // link that works, so no question below walks the whole link.
  std::vector<std::size_t> unanswered;

  // Calls fn on the unanswered transmissions sent within the late limit
  // before `now`, newest first, until it returns true.
  template <typename Fn>
  bool AnyOwed(std::int64_t now, Fn fn) const {
    for (std::size_t k = unanswered.size(); k-- > 0;) {
      const Tx& t = txs[unanswered[k]];
      if (t.at >= now) continue;
      if (t.at + OwedFor() <= now) break;
      if (Owed(t, now) && fn(t)) return true;
    }
    return false;
  }

  // The moment the last owed answer stops being waited for (LLONG_MIN: none).
  std::int64_t OwedUntil(std::int64_t now) const {
    std::int64_t until = LLONG_MIN;
    AnyOwed(now + 1, [&](const Tx& t) {
      until = std::max(until, t.at + OwedFor());
      return false;
    });
    return until;
  }
  // The quiet time before a request once copies were seen: a copy may follow
  // its answer by up to the copy window, whatever gaps were seen so far (a
  // copy credited to a lost request shows no gap at all).
  static constexpr std::int64_t CopyQuiet() { return kCopyWindowMs + 1; }

  void Record(const Tx& t) {
    if (!t.waitAnswered) unanswered.push_back(txs.size());
    txs.push_back(t);
  }

  void Stray(std::int64_t at) {
    ++strays;
    const bool owedLive = AnyOwed(at + 1, [](const Tx&) { return true; });
    const std::int64_t gap = lastAnswerAt == LLONG_MIN ? -1 : at - lastAnswerAt;
    // Nothing owed, more answers than transmissions, or an answer so close
    // behind another that it may be its copy: the scale sends copies.
    if (!owedLive || answers > txs.size() || (gap >= 0 && gap <= kCopyWindowMs)) {
      copies = true;
      copyGap = std::max(copyGap, gap);
    }
  }

  // Answers carry no transmission number: of a request's transmissions, the
  // ones counted as answered are its earliest, so that what stays owed is
  // owed for as long as it can be.
  void ShiftAnswered(std::size_t request) {
    const std::size_t first = reqs[request].firstTx;
    std::vector<Tx*> mine;
    for (std::size_t i = first; i < txs.size(); ++i)
      if (txs[i].request == request && txs[i].owed) mine.push_back(&txs[i]);
    const auto answered =
        static_cast<std::size_t>(std::count_if(mine.begin(), mine.end(), [](const Tx* t) { return t->waitAnswered; }));
    for (std::size_t i = 0; i < mine.size(); ++i) mine[i]->waitAnswered = i < answered;
    while (!unanswered.empty() && unanswered.back() >= first) unanswered.pop_back();
    for (std::size_t i = first; i < txs.size(); ++i)
      if (!txs[i].waitAnswered) unanswered.push_back(i);
  }

  // Whether request i's answer proves it, given when the last transmission of
  // an earlier request whose own answer is in doubt left; `why` gets the
  // reason when it does not.
  bool JudgeOne(std::size_t i, std::int64_t doubtAt, std::string& why) const {
    const Req& r = reqs[i];
    // An earlier transmission of another request that could still be
    // answered when this one left: its own wait went unanswered, or its
    // answer is itself in doubt.
    const bool owed = AnyOwed(r.sentAt, [&](const Tx& t) { return t.request != i; }) ||
                      (doubtAt != LLONG_MIN && doubtAt + OwedFor() > r.sentAt);
    if (owed) {
      why = "an answer to an earlier request could still have been on its way when this request was answered";
      return false;
    }
    if (copies && r.quietBefore >= 0 && r.quietBefore < CopyQuiet()) {
      why = "the scale sends copies of its answers (seen up to " + std::to_string(copyGap) +
            " ms after an answer), and this request left " + std::to_string(r.quietBefore) +
            " ms after the last answer: its answer may have been a copy";
      return false;
    }
    return true;
  }
  // The last transmission of request i (it ends before the next request starts).
  std::int64_t LastTxAt(std::size_t i) const {
    const std::size_t end = i + 1 < reqs.size() ? reqs[i + 1].firstTx : txs.size();
    return end > reqs[i].firstTx ? txs[end - 1].at : LLONG_MIN;
  }
  // Judges request i in order: `doubtAt` carries the last transmission of an
  // acknowledged request that is not proven.
  bool JudgeNext(std::size_t i, std::int64_t& doubtAt, std::string& why) const {
    const bool proven = JudgeOne(i, doubtAt, why);
    if (!proven) doubtAt = std::max(doubtAt, LastTxAt(i));
    return proven;
  }

  // Judges every request again, in order, with all the link showed.
  std::vector<char> JudgeAll(std::vector<std::string>& why) const {
    std::vector<char> proven(reqs.size(), 0);
    why.assign(reqs.size(), {});
    std::int64_t doubtAt = LLONG_MIN;
    for (std::size_t i = 0; i < reqs.size(); ++i)
      if (reqs[i].outcome.Acknowledged()) proven[i] = JudgeNext(i, doubtAt, why[i]);
    return proven;
  }
  // Whether what the link may still show can take a step's proof away: only
  // copies can (an answer arriving now changes no transmission's own wait),
  // so a step loses nothing if it would stay proven were copies seen.
  bool ProofStillOpen() const {
    if (copies) return false;
    Account seen = *this;
    seen.copies = true;
    std::vector<std::string> why;
    const std::vector<char> now = JudgeAll(why), then = seen.JudgeAll(why);
    for (std::size_t i = 0; i < reqs.size(); ++i)
      if (!reqs[i].closing && now[i] && !then[i]) return true;
    return false;
  }
  // The judgment made as each request ended.
  std::int64_t doubtSoFar = LLONG_MIN;
};

// Marks the engine busy for one public entry; a nested entry is refused.
class TPBusComm::BusyScope {
 public:
  explicit BusyScope(TPBusComm& e) : e_(e), entered_(!e.busy_) {
    if (entered_) e_.busy_ = true;
  }
  ~BusyScope() {
    if (entered_) e_.busy_ = false;
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  TPBusComm& e_;
  bool entered_;
};

TPBusComm::TPBusComm(std::unique_ptr<PBusTransport> link) : account_(std::make_unique<Account>()) {
  if (link) Open(std::move(link));
}

TPBusComm::~TPBusComm() { Abort(); }

bool TPBusComm::isActive() const { return link_ && open_ && link_->IsOpen(); }

void TPBusComm::SetBaudRate(TBaudRate v) {
  const std::uint8_t idx = static_cast<std::uint8_t>(v) & 0x7F;
  if (idx >= kBaudTable.size())
    throw std::invalid_argument("Invalid serial speed index " + std::to_string(idx));
  baudRate_ = static_cast<TBaudRate>(idx);
  if (link_) link_->SetLineSpeed(kBaudTable[idx]);
}

void TPBusComm::Abort() { aborted_ = true; }

void TPBusComm::Attach(std::unique_ptr<PBusTransport> link) {
  link_ = std::move(link);
  const bool stream = link_->Stream();
  link_->SetSink([this, stream](const std::uint8_t* d, std::size_t n, bool fresh) {
    if (stream)
      ReceiveBytes(d, n, fresh);
    else
      ReceiveDatagram(d, n, fresh);
  });
  link_->SetIgnoreSink([this](const std::string& what) { ++account_->ignored[what]; });
  link_->SetLineSpeed(kBaudTable[static_cast<std::size_t>(baudRate_)]);
  account_ = std::make_unique<Account>();
  account_->lateLimit = lateLimit_;
  collecting_ = false;
  rxState_ = -1;
}

// ---------------------------------------------------------------- link

void TPBusComm::Open(std::unique_ptr<PBusTransport> link) {
  if (busy_) throw EPBusBusy();
  if (link_) link_->Close();
  link_.reset();
  open_ = false;
  if (!link) return;
  Attach(std::move(link));
  try {
    link_->Open();
  } catch (...) {
    link_.reset();
    throw;
  }
  open_ = true;
  trace_.clear();
}

void TPBusComm::Close() {
  if (busy_) throw EPBusBusy();
  if (!link_) return;
  // The last look at the link before its account is reviewed, while a step's
  // proof still rests on it: answers still owed, and copies of the last
  // answers, would show what the requests' answers cannot (a copy credited
  // to a request whose own answer then stands one request behind).
  {
    BusyScope scope(*this);
    Account& a = *account_;
    if (open_ && !aborted_ && !link_->Gone() && a.lastAnswerAt != LLONG_MIN && a.ProofStillOpen()) {
      accepting_ = false;
      try {
        link_->Flush();
        const std::int64_t now = link_->NowMs();
        const std::int64_t until = std::max(a.OwedUntil(now), a.lastAnswerAt + a.CopyQuiet());
        if (until > now)
          link_->Listen(static_cast<int>(std::min<std::int64_t>(until - now, INT_MAX)), [this] { return aborted_; });
      } catch (const std::exception&) {
        // The link is closing anyway; what could not be heard is not counted.
      }
    }
  }
  const bool trace = link_->KeepsTrace();
  link_->Close();
  open_ = false;
  if (trace) SaveTrace();
  trace_.clear();
}

void TPBusComm::SaveTrace() {
  // The trace is always empty; a read-only or refused trace file must not turn
  // every serial download into an error box. A link, FIFO or device planted in
  // its place is never followed, truncated or waited on.
  std::string path = "DEBUG.LOG", why;
  try {
    path = FilesDir() + path;
    const int fd = OpenRegularForWrite(path, true, why);
    if (fd >= 0) {
      std::string text;
      for (const auto& line : trace_) text += line + "\r\n";
      if (!WriteAllTo(fd, text)) why = std::strerror(errno);
      if (::close(fd) != 0 && why.empty()) why = std::strerror(errno);
    }
  } catch (const EFilesDir& e) {
    why = e.what();
  }
  if (!why.empty()) qWarning("Cannot write the trace file %s: %s", EscapeForTerminal(path).c_str(), EscapeForTerminal(why).c_str());
}

LinkReview TPBusComm::ReviewLink() const {
  const Account& a = *account_;
  LinkReview r;
  r.ignored = a.ignored;
  r.transmissions = a.txs.size();
  r.answers = a.answers;
  r.strays = a.strays;
  r.copiesSeen = a.copies;
  r.copyGapMs = static_cast<int>(a.copyGap);
  std::vector<std::string> why;
  const std::vector<char> proven = a.JudgeAll(why);
  for (std::size_t i = 0; i < a.reqs.size(); ++i) {
    RequestOutcome o = a.reqs[i].outcome;
    if (o.Acknowledged()) {
      o.end = proven[i] ? RequestEnd::Proven : RequestEnd::NotProven;
      o.reason = why[i];
    }
    r.requests.push_back(std::move(o));
  }
  return r;
}

// ---------------------------------------------------------------- receiving

void TPBusComm::ResetReceive() {
  answerByte_ = 0;
  rxState_ = -1;
  rxCount_ = 0;
  collecting_ = false;
}

// One complete answer: a verdict byte, or data (a frame's or a datagram's
// bytes). Credited to the waiting request only when it began within the wait
// and is a kind of answer that request can have: a data request is answered
// by data or a refusal, any other by a verdict. Anything else is a stray.
void TPBusComm::AnswerComplete(std::uint8_t verdict, const std::uint8_t* data, std::size_t length) {
  Account& a = *account_;
  const std::int64_t now = link_->NowMs();
  ++a.answers;
  const bool fits = data ? wantData_ : (verdict == kVerdictRefused || !wantData_);
  if (frameCreditable_ && accepting_ && rxState_ < 1 && fits) {
    rxState_ = 1;
    answerByte_ = data ? 0 : verdict;
    if (data) {
      answer_.fill(0);
      std::copy_n(data, std::min(length, answer_.size()), answer_.begin());
    }
  } else {
    a.Stray(now);
  }
  a.lastAnswerAt = now;
  a.lastWasVerdict = !data;
}

void TPBusComm::Scan(std::uint8_t c, bool fresh) {
  if (collecting_) {
    // Inside a frame every byte up to the end marker has its top bit set; a
    // byte without it ends the broken frame and may begin the next answer.
    if (rxCount_ >= static_cast<int>(kFrameNeeded) - 1 || (c & 0x80) != 0) {
      rxBuf_[static_cast<std::size_t>(rxCount_++)] = c;
      if (rxCount_ >= static_cast<int>(kFrameNeeded)) {
        collecting_ = false;
        rxCount_ = 0;
        AnswerComplete(0, rxBuf_.data(), kFrameNeeded);
      }
      return;
    }
    collecting_ = false;
    rxCount_ = 0;
  }
  // Whether an answer may be credited is decided by the bytes that begin it.
  frameCreditable_ = fresh;
  if (c == kVerdictAck || c == kVerdictRefused) {
    AnswerComplete(c, nullptr, 0);
  } else if (c == kFrameStart) {
    collecting_ = true;
    rxBuf_[0] = c;
    rxCount_ = 1;
  }
  // Anything else cannot begin an answer (a late trailer, line noise).
}

void TPBusComm::ReceiveBytes(const std::uint8_t* data, std::size_t length, bool fresh) {
  for (std::size_t i = 0; i < length; ++i) Scan(data[i], fresh);
  if (collecting_ && link_) lastByteAt_ = link_->NowMs();
  if (rxState_ != 1) rxState_ = collecting_ && frameCreditable_ && accepting_ ? 0 : -1;
}

void TPBusComm::ReceiveDatagram(const std::uint8_t* data, std::size_t length, bool fresh) {
  // A verdict is one byte; a data answer is a whole packet with its checksum.
  // Anything else is nobody's answer: counted, and the wait goes on.
  const bool verdict = length == 1 && (data[0] == kVerdictAck || data[0] == kVerdictRefused);
  const bool packet = length == kPacketSize && ChecksumOk(data);
  if (!verdict && !packet) {
    std::string what;
    if (length == kPacketSize)
      what = "a data answer with a wrong checksum";
    else if (length == 1)
      what = "a datagram of 1 byte that is no verdict";
    else
      what = "a datagram of " + std::to_string(length) + " bytes";
    ++account_->ignored[what];
    return;
  }
  frameCreditable_ = fresh;
  if (packet)
    AnswerComplete(0, data, kPacketSize);
  else
    AnswerComplete(data[0], nullptr, 0);
}

// ---------------------------------------------------------------- transactions

template <typename Fn>
auto TPBusComm::Guarded(Fn fn) {
  try {
    return fn();
  } catch (const std::exception&) {
    accepting_ = false;
    aborted_ = true;
    lastWaitEnd_ = WaitEnd::Abort;
    Finish(RequestEnd::Aborted, "the transport failed");
    if (OnSendException) OnSendException();
    throw;
  }
}

// Before a request's first transmission: what is owed for earlier
// transmissions is collected, and once the scale is known to send copies, a
// quiet time lets the copies of the last answer pass. A scale that answered
// every transmission once costs nothing here.
void TPBusComm::SettleBeforeRequest() {
  Account& a = *account_;
  PBusTransport& link = *link_;
  accepting_ = false;
  link.Flush();
  for (;;) {
    if (aborted_ || link.Gone()) return;
    const std::int64_t now = link.NowMs();
    std::int64_t until = a.OwedUntil(now);
    if (a.copies && a.lastAnswerAt != LLONG_MIN) until = std::max(until, a.lastAnswerAt + a.CopyQuiet());
    // Does the scale send copies? Looked for after the link's first verdicts
    // (a copy may be lost on the line like any answer), and after more of
    // them once the link gave cause for doubt; never before the requests that
    // close the link, which no step rests on.
    if (!a.copies && !a.reqs.back().closing && a.lastAnswerAt != LLONG_MIN && a.lookedAfter != a.lastAnswerAt &&
        (a.looks == 0 || (a.lastWasVerdict && a.looks < a.LooksDue()))) {
      ++a.looks;
      a.lookedAfter = a.lastAnswerAt;
      until = std::max(until, a.lastAnswerAt + a.CopyQuiet());
    }
    if (until <= now) return;
    const std::uint64_t seen = a.answers;
    const bool copies = a.copies;
    link.Listen(static_cast<int>(std::min<std::int64_t>(until - now, INT_MAX)),
                [this, seen, copies] { return aborted_ || account_->answers != seen || account_->copies != copies; });
  }
}

AnswerCode TPBusComm::Attempt(const Buffer& packet) {
  PBusTransport& link = *link_;
  Account& a = *account_;
  const std::size_t request = a.reqs.size() - 1;
  bool sent = false;
  std::int64_t sentAt = 0;
  std::int64_t quietBefore = -1;
  const WaitEnd end = Guarded([&] {
    accepting_ = false;
    link.Flush();
    ResetReceive();
    if (link.Gone()) return WaitEnd::Hangup;
    accepting_ = true;
    sentAt = link.NowMs();
    quietBefore = a.lastAnswerAt == LLONG_MIN ? -1 : sentAt - a.lastAnswerAt;
    link.Send(packet.data());
    sent = true;
    WaitEnd e = link.Wait(retryInterval_, holdLimit_, [this] { return aborted_ || rxState_ > 0; });
    // A data frame still arriving is waited for from its last byte, within a bound.
    const std::int64_t limit = link.NowMs() + static_cast<std::int64_t>(kFrameLimitFactor) * retryInterval_;
    while (e == WaitEnd::Timeout && rxState_ == 0 && !aborted_) {
      const std::int64_t now = link.NowMs();
      const std::int64_t until = std::min(lastByteAt_ + retryInterval_, limit);
      if (until <= now) break;
      e = link.Listen(static_cast<int>(until - now), [this] { return aborted_ || rxState_ > 0; });
    }
    return e;
  });
  accepting_ = false;
  lastWaitEnd_ = end;
  const bool left = sent && end != WaitEnd::DrainLimit && end != WaitEnd::SendRefused;
  const bool failed = end == WaitEnd::DrainLimit || end == WaitEnd::SendRefused || end == WaitEnd::Hangup;
  if (left) {
    Account::Tx t;
    t.at = sentAt;
    t.request = request;
    // The answer is this transmission's, as far as the account can tell.
    t.waitAnswered = !failed && rxState_ > 0;
    a.Record(t);
    ++a.reqs.back().outcome.transmissions;
  }
  if (failed) {
    aborted_ = true;
    return AnswerCode::Aborted;
  }
  if (rxState_ > 0) {
    Account::Req& q = a.reqs.back();
    q.sentAt = sentAt;
    q.quietBefore = quietBefore;
    if (answerByte_ == kVerdictAck) a.Verdict(link.NowMs() - sentAt, quietBefore);
    lastWaitEnd_ = WaitEnd::Answer;
    if (aborted_) return AnswerCode::Aborted;
    if (answerByte_ == kVerdictRefused) return AnswerCode::Refused;
    if (answerByte_ == kVerdictAck) return AnswerCode::Ack;
    return AnswerCode::Data;
  }
  if (aborted_) {
    lastWaitEnd_ = WaitEnd::Abort;
    return AnswerCode::Aborted;
  }
  ++a.doubts;
  lastWaitEnd_ = WaitEnd::Timeout;
  return AnswerCode::Timeout;
}

void TPBusComm::Finish(RequestEnd end, std::string reason) {
  Account& a = *account_;
  if (a.reqs.empty()) return;
  Account::Req& q = a.reqs.back();
  q.outcome.end = end;
  q.outcome.reason = std::move(reason);
  last_ = q.outcome;
  const std::size_t i = a.reqs.size() - 1;
  if (q.outcome.Acknowledged()) {
    std::string why;
    const bool proven = a.JudgeNext(i, a.doubtSoFar, why);
    last_.end = proven ? RequestEnd::Proven : RequestEnd::NotProven;
    last_.reason = why;
  }
}

bool TPBusComm::Transact(const Buffer& packet, Want want, int attempts,
                         const std::function<void(int)>& beforeAttempt) {
  aborted_ = false;
  Guarded([this] { SettleBeforeRequest(); });
  if (link_->Gone()) {
    lastAnswer_ = AnswerCode::Aborted;
    Finish(RequestEnd::LineGone, "the serial line went away");
    return false;
  }
  if (aborted_) {
    lastAnswer_ = AnswerCode::Aborted;
    Finish(RequestEnd::Aborted, "stopped");
    return false;
  }
  const bool stream = link_->Stream();
  wantData_ = want == Want::Data;
  bool ok = false;
  bool refused = false, wrongKind = false, badChecksum = false;
  for (int n = 0;; ++n) {
    if (beforeAttempt) beforeAttempt(n);
    const AnswerCode a = Attempt(packet);
    lastAnswer_ = a;
    refused = a == AnswerCode::Refused;
    wrongKind = (want == Want::Ack && a == AnswerCode::Data) || (want == Want::Data && a == AnswerCode::Ack);
    badChecksum = false;
    if (want == Want::Ack && a == AnswerCode::Ack) ok = true;
    if (want == Want::Data && a == AnswerCode::Data) {
      if (stream) {
        ok = DecodeFrame(answer_.data(), packet_.data());
        badChecksum = !ok;
      } else {
        std::copy_n(answer_.begin(), kPacketSize, packet_.begin());
        ok = true;
      }
    }
    if (ok || a == AnswerCode::Aborted) break;
    if (n + 1 >= attempts) break;
    // UDP repeats on silence only; any answer ends the exchange.
    if (!stream && a != AnswerCode::Timeout) break;
    // A verdict that follows a refusal within moments is no answer to the
    // repeat: let it pass (it is counted as a copy) before repeating.
    if (stream && refused) {
      const std::uint64_t seen = account_->answers;
      link_->Listen(kCopyLookMs, [this] { return aborted_; });
      if (account_->answers != seen || account_->copies) Guarded([this] { SettleBeforeRequest(); });
    }
  }
  if (!stream && lastAnswer_ == AnswerCode::Timeout) link_->Listen(10, [this] { return aborted_; });

  if (ok) {
    Finish(RequestEnd::Proven, {});
    return true;
  }
  switch (lastWaitEnd_) {
    case WaitEnd::DrainLimit:
      Finish(RequestEnd::Held, "the scale's flow control (XOFF) held the request past " +
                                   std::to_string(holdLimit_) + " ms; it was withdrawn and did not leave");
      return false;
    case WaitEnd::Hangup:
    case WaitEnd::SendRefused:
      Finish(RequestEnd::LineGone, link_->Gone() ? "the serial line went away" : "the line is not open");
      return false;
    case WaitEnd::Abort:
      Finish(RequestEnd::Aborted, "stopped");
      return false;
    default:
      break;
  }
  const int sent = account_->reqs.back().outcome.transmissions;
  if (refused)
    Finish(RequestEnd::Refused, "the scale refused the request");
  else if (badChecksum)
    Finish(RequestEnd::NoAnswer, "the data answers had a wrong checksum (" + std::to_string(sent) + " transmissions)");
  else if (wrongKind)
    Finish(RequestEnd::NoAnswer, want == Want::Data ? "the scale answered with a verdict where data was expected"
                                                    : "the scale answered with data where a verdict was expected");
  else
    Finish(RequestEnd::NoAnswer, "no answer to " + std::to_string(sent) + " transmissions");
  return false;
}

// ---------------------------------------------------------------- requests

bool TPBusComm::Request(std::uint8_t command, std::uint16_t arg, std::span<const std::uint8_t> payload, Want want,
                        std::span<std::uint8_t> answer) {
  BusyScope scope(*this);
  if (!scope) {
    // The running request keeps its account; only this call is told.
    last_ = RequestOutcome{};
    last_.command = command;
    last_.arg = arg;
    last_.end = RequestEnd::Busy;
    last_.reason = "another request is waiting for its answer";
    return false;
  }
  Buffer packet{};
  BuildPacket(packet, command, arg, payload);
  if (!isActive()) {
    last_ = RequestOutcome{};
    last_.command = command;
    last_.arg = arg;
    last_.end = RequestEnd::LineGone;
    last_.reason = "no link is open";
    lastWaitEnd_ = WaitEnd::SendRefused;
    lastAnswer_ = AnswerCode::Aborted;
    return false;
  }
  Account::Req q;
  q.firstTx = account_->txs.size();
  q.outcome.index = account_->reqs.size();
  q.outcome.command = command;
  q.outcome.arg = arg;
  q.closing = command == pbus::kCmdSession && (arg == pbus::kArgRead || arg == pbus::kArgLogOff);
  account_->reqs.push_back(q);
  const bool ok = Transact(packet, want, retryCount_ + 1);
  account_->ShiftAnswered(account_->reqs.size() - 1);
  if (ok && want == Want::Data && !answer.empty())
    std::copy_n(packet_.begin() + kPayloadOffset, std::min(answer.size(), kPayloadSize), answer.begin());
  return ok;
}

bool TPBusComm::WriteBlock(std::uint8_t command, std::uint16_t arg, std::span<const std::uint8_t> payload) {
  return Request(command, arg, payload, Want::Ack);
}

bool TPBusComm::ReadBlock(std::uint8_t command, std::uint16_t arg, std::span<const std::uint8_t> payload,
                          std::span<std::uint8_t> answer) {
  return Request(command, arg, payload, Want::Data, answer);
}

static std::array<std::uint8_t, 2> WordPayload(std::uint16_t v) {
  return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)};
}

bool TPBusComm::StartUpgrade(std::uint16_t value) {
  return Request(pbus::kCmdUpgrade, pbus::kArgStartUpgrade, WordPayload(value), Want::Ack);
}

bool TPBusComm::FinishUpgrade(std::uint16_t value) {
  return Request(pbus::kCmdUpgrade, pbus::kArgFinishUpgrade, WordPayload(value), Want::Ack);
}

bool TPBusComm::Disconnect(std::int32_t id) {
  std::array<std::uint8_t, 4> p{};
  IdToBcdLsbFirst(static_cast<std::uint32_t>(id), p.data());
  return Request(pbus::kCmdSession, pbus::kArgLogOff, p, Want::Ack);
}

bool TPBusComm::Connect(std::int32_t id) {
  std::array<std::uint8_t, 11> p{};
  IdToBcdLsbFirst(static_cast<std::uint32_t>(id), p.data());
  // Read once for the date and once again for the time, as the scale's own
  // clock-setting has always done.
  const LocalClock date = clock_();
  const LocalClock time = clock_();
  p[4] = ToBcd2(static_cast<std::uint16_t>(date.year));
  p[5] = ToBcd2(static_cast<std::uint16_t>(date.month));
  p[6] = ToBcd2(static_cast<std::uint16_t>(date.day));
  p[7] = ToBcd2(static_cast<std::uint16_t>(time.hour));
  p[8] = ToBcd2(static_cast<std::uint16_t>(time.minute));
  p[9] = ToBcd2(static_cast<std::uint16_t>(time.second));
  p[10] = static_cast<std::uint8_t>(baudRate_);
  if (!isActive() || !link_->Stream()) return Request(pbus::kCmdSession, pbus::kArgLogOn, p, Want::Ack);
  return LogOn(p);
}

// The serial log-on: the scale may still run at any speed, so two passes over
// the table, whatever RetryCount is. Every answer counts, a refusal like
// silence. Transmissions at a speed the scale did not answer at owe nothing.
bool TPBusComm::LogOn(std::span<const std::uint8_t> payload) {
  BusyScope scope(*this);
  if (!scope) {
    last_ = RequestOutcome{};
    last_.command = pbus::kCmdSession;
    last_.arg = pbus::kArgLogOn;
    last_.end = RequestEnd::Busy;
    last_.reason = "another request is waiting for its answer";
    return false;
  }
  Buffer packet{};
  BuildPacket(packet, pbus::kCmdSession, pbus::kArgLogOn, payload);
  Account& a = *account_;
  Account::Req q;
  q.firstTx = a.txs.size();
  q.outcome.index = a.reqs.size();
  q.outcome.command = pbus::kCmdSession;
  q.outcome.arg = pbus::kArgLogOn;
  a.reqs.push_back(q);
  const std::size_t firstTx = a.txs.size();
  int speed = 0;
  constexpr int kSpeedSearchTransmissions = 2 * static_cast<int>(kBaudTable.size());
  const bool ok = Transact(packet, Want::Ack, kSpeedSearchTransmissions, [&](int n) {
    speed = n % static_cast<int>(kBaudTable.size());
    link_->SetLineSpeed(kBaudTable[static_cast<std::size_t>(speed)]);
  });
  for (std::size_t i = firstTx; i < a.txs.size(); ++i) a.txs[i].speed = static_cast<int>((i - firstTx) % kBaudTable.size());
  if (ok) {
    for (std::size_t i = firstTx; i < a.txs.size(); ++i)
      if (a.txs[i].speed != speed) a.txs[i].owed = false;
    link_->SetLineSpeed(kBaudTable[static_cast<std::size_t>(baudRate_)]);
  }
  a.ShiftAnswered(a.reqs.size() - 1);
  return ok;
}

}  // namespace facset

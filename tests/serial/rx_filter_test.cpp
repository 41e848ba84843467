// The receive-side byte filter: zero bytes dropped on request, and the
// kernel's marking of characters received in error undone.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "serial/serial_threads.h"

namespace facset::serial_detail {
namespace {

std::string Filter(RxFilter& f, const std::string& in) {
  std::string out(in.size(), '\0');
  const std::size_t n = f.Apply(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(),
                                reinterpret_cast<std::uint8_t*>(out.data()));
  out.resize(n);
  return out;
}

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

TEST(SerialRxFilter, Cases) {
  struct Case {
    const char* label;
    bool ignoreNull, unmark, replace;
    std::string in, out;
  };
  const Case cases[] = {
      {"plain bytes pass", false, false, false, B({0, 0xFF, 0x41, 0}), B({0, 0xFF, 0x41, 0})},
      {"zeros dropped", true, false, false, B({0, 0x41, 0, 0, 0x42, 0}), "AB"},
      {"doubled 0xFF is one 0xFF", false, true, false, B({0x41, 0xFF, 0xFF, 0x42}), B({0x41, 0xFF, 0x42})},
      {"marked character passed as received", false, true, false, B({0xFF, 0, 0x37, 0x41}), B({0x37, 0x41})},
      {"marked character replaced", false, true, true, B({0xFF, 0, 0x37, 0x41}), B({0x3F, 0x41})},
      {"break gives a zero byte", false, true, true, B({0xFF, 0, 0, 0x41}), B({0, 0x41})},
      {"break dropped with zeros", true, true, false, B({0xFF, 0, 0, 0x41}), "A"},
      {"unexpected byte after 0xFF kept", false, true, false, B({0xFF, 0x41}), B({0xFF, 0x41})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    RxFilter f;
    f.ignoreNull = c.ignoreNull;
    f.unmark = c.unmark;
    f.replace = c.replace;
    f.replacedChar = 0x3F;
    EXPECT_EQ(Filter(f, c.in), c.out);
  }
}

// A mark split over two reads is still recognised.
TEST(SerialRxFilter, MarkSplitAcrossReads) {
  RxFilter f;
  f.unmark = true;
  f.replace = true;
  f.replacedChar = '?';
  EXPECT_EQ(Filter(f, B({0x41, 0xFF})), "A");
  EXPECT_EQ(Filter(f, B({0})), "");
  EXPECT_EQ(Filter(f, B({0x12, 0xFF})), "?");
  EXPECT_EQ(Filter(f, B({0xFF, 0x42})), B({0xFF, 0x42}));
}

std::string Owed(RxFilter& f) {
  std::string out(RxFilter::kMaxOwed, '\0');
  out.resize(f.TakeOwed(reinterpret_cast<std::uint8_t*>(out.data())));
  return out;
}

// A read ending in 0xFF followed by one starting with a byte that cannot
// follow it used to give n + 1 bytes for n. Every call keeps within its n;
// the byte that did not fit is owed, handed over apart, in order.
TEST(SerialRxFilter, NeverMoreThanNAndNothingLost) {
  RxFilter f;
  f.unmark = true;
  EXPECT_EQ(Filter(f, B({0x41, 0xFF})), "A");
  EXPECT_EQ(Filter(f, B({0x42})), B({0xFF}));      // 1 byte in, 1 out
  EXPECT_EQ(Filter(f, B({0x43, 0x44})), "BC");     // the owed byte first
  EXPECT_EQ(Owed(f), "D");
  EXPECT_EQ(Filter(f, B({})), "");                 // nothing in, nothing out
  EXPECT_EQ(Owed(f), "");

  // Any reads of bytes the filter cares about: never more than n per call,
  // and once the stream is flushed by plain bytes, the same bytes as one read.
  std::mt19937 gen(7);
  const std::uint8_t alphabet[] = {0x00, 0xFF, 0x41, 0x42};
  for (int round = 0; round < 2000; ++round) {
    RxFilter split, whole;
    split.unmark = whole.unmark = true;
    split.ignoreNull = whole.ignoreNull = round % 3 == 0;
    std::string all, viaSplit;
    for (int read = 0; read < 6; ++read) {
      std::string in;
      const int len = static_cast<int>(gen() % 5);
      for (int i = 0; i < len; ++i) in.push_back(static_cast<char>(alphabet[gen() % 4]));
      all += in;
      const std::string out = Filter(split, in);
      ASSERT_LE(out.size(), in.size()) << "round " << round;
      viaSplit += out;
      if (read % 2) viaSplit += Owed(split);  // some reads leave it for the next call
    }
    const std::string tail(8, 'Z');
    all += tail;
    viaSplit += Filter(split, tail);
    viaSplit += Owed(split);
    EXPECT_EQ(viaSplit, Filter(whole, all) + Owed(whole)) << "round " << round;
  }
}

}  // namespace
}  // namespace facset::serial_detail

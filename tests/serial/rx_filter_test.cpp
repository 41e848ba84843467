// The receive-side byte filter: zero bytes dropped on request, and the
// kernel's marking of characters received in error undone.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace facset::serial_detail

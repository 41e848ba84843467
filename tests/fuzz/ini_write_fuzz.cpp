// A write into any INI file: refused and the file untouched, or made so that the
// key reads back as written and the rest of the file stays as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_file.h"
#include "platform/ini_file.h"

using namespace facset;

namespace {

bool Blank(unsigned char c) { return c <= 0x20 || c == 0x7F; }
bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Names are trimmed before they are used, so line breaks at their ends are no
// line breaks of the file. (Blanks only: the layer also keeps the tail of a GBK
// pair, so this never trims less than it does.)
std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && Blank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && Blank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// A value that a read gives back byte for byte: nothing to trim, no quotes to strip.
bool ReadsBackVerbatim(std::string_view v) {
  if (v.empty()) return true;
  const auto first = static_cast<unsigned char>(v.front()), last = static_cast<unsigned char>(v.back());
  return v.size() <= kIniMaxValue && !Blank(first) && first != '"' && first != '\'' && last > 0x20 && last < 0x7F;
}

[[noreturn]] void Fail(const char* what, const std::string& before, const std::string& after) {
  std::fprintf(stderr, "%s\n--- before (%zu bytes)\n%s\n--- after (%zu bytes)\n%s\n", what, before.size(),
               before.c_str(), after.size(), after.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string section = in.ConsumeRandomLengthString(24);
  const std::string key = in.ConsumeRandomLengthString(24);
  const std::string value = in.ConsumeRandomLengthString(64);
  const std::string otherSection = in.ConsumeRandomLengthString(24);
  const std::string otherKey = in.ConsumeRandomLengthString(24);
  const std::string before = in.ConsumeRemainingBytesAsString();

  const std::string& path = fuzzing::ScratchFile();
  fuzzing::PutFile(path, before);
  const std::string otherBefore = IniFile(path).ReadString(otherSection, otherKey, "\x01missing");

  bool refused = false;
  try {
    IniFile ini(path);
    ini.WriteString(section, key, value);
  } catch (const EIniError&) {
    refused = true;
  }
  const std::string after = testing::ReadFileBytes(path);
  if (refused) {
    if (after != before) Fail("refused write changed the file", before, after);
    return 0;
  }
  if (HasLineBreak(Trimmed(section)) || HasLineBreak(Trimmed(key)) || HasLineBreak(value)) Fail("line break written", before, after);

  // Only one line's text may change; anything else is lines added (and the
  // line end the last line lacked).
  std::size_t p = 0;
  while (p < before.size() && p < after.size() && before[p] == after[p]) ++p;
  std::size_t s = 0;
  while (s < before.size() - p && s < after.size() - p && before[before.size() - 1 - s] == after[after.size() - 1 - s]) ++s;
  if (HasLineBreak(std::string_view(before).substr(p, before.size() - p - s)))
    Fail("write changed more than one line", before, after);

  // A fresh reader, so that the bytes on disk are judged, not the writer's model.
  const IniFile fresh(path);
  const std::string got = fresh.ReadString(section, key, "\x01missing");
  if (ReadsBackVerbatim(value) && got != value) Fail("value does not read back", before, after);
  const std::string otherAfter = fresh.ReadString(otherSection, otherKey, "\x01missing");
  if (otherAfter != otherBefore && otherAfter != got) Fail("another key changed", before, after);
  return 0;
}

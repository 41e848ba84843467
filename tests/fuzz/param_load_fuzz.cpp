// Any bytes as a parameter file: loaded the way the window and facset-cli load
// one, then saved into an empty file and loaded again, which must give the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "fuzz_file.h"
#include "params/param_model.h"

using namespace facset;

namespace {

bool Blank(char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; }

// A read strips one pair of quotes, and the blanks around a value that no quotes
// protect; a save writes no quotes. So a text read as quoted, or with blanks
// at its ends (they were inside quotes), cannot come back as it was.
bool Survives(const std::string& s) {
  if (s.empty()) return true;
  const bool quoted = s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front();
  return !quoted && !Blank(s.front()) && !Blank(s.back());
}

bool SameText(const std::string& a, const std::string& b) { return a == b || !Survives(a); }

bool SameSet(const ParamSet& a, const ParamSet& b) {
  if (a.Block != b.Block || a.ComIndex != b.ComIndex || a.UseCom != b.UseCom || a.bdgbIndex != b.bdgbIndex ||
      a.TaggbIndex != b.TaggbIndex || a.IsEnabled != b.IsEnabled || a.DownProg != b.DownProg ||
      !SameText(a.DeviceIp, b.DeviceIp) || !SameText(a.BinFilePath, b.BinFilePath))
    return false;
  for (int n = 0; n < 256; ++n) {
    const ParamDef &x = a.Defs[n], &y = b.Defs[n];
    if (!SameText(x.Option0, y.Option0) || !SameText(x.Option1, y.Option1) || !SameText(x.Note, y.Note) ||
        !SameText(x.Caption, y.Caption) || x.Width != y.Width || x.Kind != y.Kind)
      return false;
  }
  for (const std::string& line : a.GravityRegions)
    if (!Survives(line)) return true;
  return a.GravityRegions == b.GravityRegions;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = fuzzing::ScratchFile();
  fuzzing::PutFile(path, std::string(reinterpret_cast<const char*>(data), size));
  ParamSet loaded;
  const std::vector<std::string> names = LoadParamSet(IniFile(path), loaded);
  if (loaded.Block[0] != kBlockMarker || loaded.GravityRegions.size() != names.size() + 2) std::abort();
  for (std::size_t i = 0; i < names.size(); ++i)
    if (loaded.GravityRegions[i + 2].substr(0, names[i].size() + 1) != names[i] + "=") std::abort();

  const std::string copy = path + ".saved";
  ::unlink(copy.c_str());
  {
    IniFile out(copy);
    SaveParams(out, loaded, "en");
  }
  fuzzing::Backdate(copy);
  ParamSet reloaded;
  LoadParamSet(IniFile(copy), reloaded);
  if (!SameSet(loaded, reloaded)) std::abort();
  return 0;
}

// INI layer speed: a catalog lookup on an unchanged language file, and a whole
// parameter save (one batch) into a new and into an existing file.
//
//   facset_platform_bench [--benchmark_repetitions=10 --benchmark_report_aggregates_only=true]
//
// Files live in a fresh folder under $TMPDIR (set TMPDIR to measure another disk).

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace {

using facset::IniFile;
using facset::IniUpdate;

struct Key {
  std::string section, key, value;
};

std::string ByteKey(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "byte[%-3d]", n);
  return buf;
}

// The writes of a whole parameter save, in its order: link settings, the block
// with the definitions of bytes 14 to 255, the region table and "Set".
std::vector<Key> ParamSave(int variant) {
  std::vector<Key> out;
  const std::string v = std::to_string(variant);
  out.push_back({"port", "ip", "192.168.1.8" + v});
  out.push_back({"port", "com", v});
  out.push_back({"port", "use com", "0"});
  out.push_back({"factory", "bdgbIndex", v});
  out.push_back({"factory", "TaggbIndex", "0"});
  out.push_back({"factory", "IsDownkDownProg", "1"});
  out.push_back({"factory", "binFilePath", "/opt/scale/fw" + v + ".bin"});
  for (int n = 1; n <= 255; ++n) {
    const std::string b = ByteKey(n);
    out.push_back({"factory", b, std::to_string((n + variant) & 0xFF)});
    if (n < 14) continue;
    out.push_back({"factory", b + "0", "\xB9\xD8"});  // GBK text
    out.push_back({"factory", b + "1", "\xBF\xAA"});
    out.push_back({"factory", b + "x", n % 3 ? "" : "kg\\r\\nnote " + v});
    out.push_back({"factory", b + "t", "Parameter " + std::to_string(n)});
    out.push_back({"factory", b + "n", "1"});
    out.push_back({"factory", b + "k", std::to_string(n % 2)});
  }
  for (int i = 0; i < 8; ++i) out.push_back({"Aregb", "Aregb" + std::to_string(i), "Region" + std::to_string(i) + "=9.79" + v});
  out.push_back({"Set", "IsEnabled", "1"});
  out.push_back({"Set", "lngstr", "_cn"});
  return out;
}

class Folder {
 public:
  Folder() {
    std::string t = (std::filesystem::temp_directory_path() / "facset-bench-XXXXXX").string();
    if (::mkdtemp(t.data()) == nullptr) std::abort();
    path_ = t;
  }
  ~Folder() { std::filesystem::remove_all(path_); }
  std::string operator/(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void Save(IniFile& ini, const std::vector<Key>& keys) {
  IniUpdate batch(ini);
  for (const Key& k : keys) ini.WriteString(k.section, k.key, k.value);
  batch.Commit();
}

// A stamp an hour old: the file counts as settled, as a language file does.
void Age(const std::string& path) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  now.tv_sec -= 3600;
  const timespec t[2] = {now, now};
  ::utimensat(AT_FDCWD, path.c_str(), t, 0);
}

// 52 entries in two sections, as a filled language file.
std::string LangFile() {
  std::string s = "[Strings]\r\n";
  for (int i = 0; i < 34; ++i) s += "sMessage" + std::to_string(i) + "= \xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC " + std::to_string(i) + "\r\n";
  s += "[MainForm]\r\nCaption=Tarvik\r\n";
  for (int i = 0; i < 17; ++i) s += "btnButton" + std::to_string(i) + ".Caption=\xB2\xCE\xCA\xFD\r\n";
  return s;
}

// One LangCatalog lookup: a present key, or a missing one that gives the default.
void BM_LookupUnchangedLangFile(benchmark::State& state, const char* key) {
  Folder dir;
  const std::string path = dir / "kelvaset_cn.lng";
  FILE* f = std::fopen(path.c_str(), "wb");
  const std::string content = LangFile();
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  Age(path);
  IniFile ini(path);
  ini.ReadString("Strings", "sMessage0", "");
  for (auto _ : state) {
    std::string v = ini.ReadString("Strings", key, key);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK_CAPTURE(BM_LookupUnchangedLangFile, present, "sMessage17");
BENCHMARK_CAPTURE(BM_LookupUnchangedLangFile, missing, "sNotThere");

void BM_ParamSaveIntoNewFile(benchmark::State& state) {
  Folder dir;
  const std::string path = dir / "new.ini";
  const std::vector<Key> keys = ParamSave(1);
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(path);
    state.ResumeTiming();
    IniFile ini(path);
    Save(ini, keys);
  }
  state.counters["keys"] = static_cast<double>(keys.size());
}
BENCHMARK(BM_ParamSaveIntoNewFile)->Unit(benchmark::kMillisecond);

void BM_ParamSaveIntoExistingFile(benchmark::State& state) {
  Folder dir;
  const std::string path = dir / "facconfig.ini";
  const std::vector<Key> a = ParamSave(1), b = ParamSave(2);
  { IniFile w(path); Save(w, a); }
  bool flip = false;
  for (auto _ : state) {
    // A new object each time, as the save-as command opens its file: includes reading it.
    IniFile ini(path);
    Save(ini, flip ? a : b);  // every value changes, so every key is replaced in place
    flip = !flip;
  }
  state.counters["keys"] = static_cast<double>(a.size());
}
BENCHMARK(BM_ParamSaveIntoExistingFile)->Unit(benchmark::kMillisecond);

void BM_SingleWriteIntoParamFile(benchmark::State& state) {
  Folder dir;
  const std::string path = dir / "facconfig.ini";
  { IniFile w(path); Save(w, ParamSave(1)); }
  IniFile ini(path);
  int i = 0;
  for (auto _ : state) ini.WriteInteger("Set", "IsEnabled", ++i & 1);
}
BENCHMARK(BM_SingleWriteIntoParamFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

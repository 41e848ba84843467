#include "params/param_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/text_encoding.h"

namespace facset {

namespace {

constexpr std::string_view kPort = "port";
constexpr std::string_view kFactory = "factory";
constexpr std::string_view kAregb = "Aregb";
constexpr std::string_view kSet = "Set";
constexpr std::string_view kBinFilePathUtf8Key = "binFilePathUtf8";
// Our own keys, beside the file format.
constexpr std::string_view kOurSection = "facset";
constexpr std::string_view kIncreaseKey = "IncreaseAfterDownload";

std::string RegionKey(std::size_t i) { return std::string(kAregb) + std::to_string(i); }

}  // namespace

std::string DefKey(int n, char suffix) {
  std::string k(ByteKeys[static_cast<std::size_t>(n) & 0xFF]);
  k.push_back(suffix);
  return k;
}

void ReadBlockAndDefs(const IniFile& ini, ParamSet& ps) {
  ps.Block.fill(0);
  ps.Block[0] = kBlockMarker;
  ps.DeviceIp = ini.ReadString(kPort, "ip", kDefaultDeviceIp);
  ps.ComIndex = ini.ReadInteger(kPort, "com", 0);
  ps.UseCom = ini.ReadBool(kPort, "use com", false);
  for (int n = 1; n <= 255; ++n) {
    ps.Block[n] = Low8(ini.ReadInteger(kFactory, ByteKeys[n], 0));
    if (n < kFirstDefByte) continue;
    auto field = [n](char suffix) { return DefKey(n, suffix); };
    ParamDef& d = ps.Defs[n];
    d.Option0 = ini.ReadString(kFactory, field('0'), "");
    d.Option1 = ini.ReadString(kFactory, field('1'), "");
    d.Note = ini.ReadString(kFactory, field('x'), "");
    d.Caption = ini.ReadString(kFactory, field('t'), "");
    d.Width = ini.ReadInteger(kFactory, field('n'), 0);
    d.Kind = ini.ReadInteger(kFactory, field('k'), 0);
  }
}

std::vector<ByteOutsideRange> BytesOutsideRange(const IniFile& ini) {
  std::vector<ByteOutsideRange> out;
  for (int n = 1; n <= 255; ++n) {
    const std::optional<std::string> text = ini.FindString(kFactory, ByteKeys[n]);
    if (!text) continue;
    // Two defaults tell a number from text the reader gave up on.
    const std::int32_t v = ini.ReadInteger(kFactory, ByteKeys[n], -1);
    const bool number = v == ini.ReadInteger(kFactory, ByteKeys[n], -2);
    if (number && v >= 0 && v <= 255) continue;
    out.push_back({n, *text, Low8(number ? v : 0)});
  }
  return out;
}

std::string RegionValue(std::string_view line) {
  const auto eq = line.find('=');
  return eq == std::string_view::npos ? std::string() : std::string(line.substr(eq + 1));
}

RegionTable ReadRegionTable(const IniFile& ini) {
  RegionTable t;
  t.lines = {"0=0", "0=0"};
  for (std::size_t i = 0;; ++i) {
    std::string v = ini.ReadString(kAregb, RegionKey(i), "");
    if (TrimBlanks(v).empty()) break;
    const auto eq = v.find('=');
    if (eq == std::string::npos) continue;
    t.names.push_back(v.substr(0, eq));
    t.lines.push_back(std::move(v));
  }
  return t;
}

std::string FirmwarePathOf(const ParamSet& ps) {
  if (!ps.BinFilePathUtf8.empty() && Utf8ToGbk(ps.BinFilePathUtf8) == ps.BinFilePath) return ps.BinFilePathUtf8;
  return GbkToUtf8(ps.BinFilePath);
}

void SetFirmwarePath(ParamSet& ps, std::string_view utf8) {
  ps.BinFilePath = Utf8ToGbk(utf8);
  ps.BinFilePathUtf8 = GbkCanHold(utf8) ? std::string() : std::string(utf8);
}

std::vector<std::string> LoadParamSet(const IniFile& ini, ParamSet& ps) {
  RegionTable regions = ReadRegionTable(ini);
  ps.GravityRegions = std::move(regions.lines);
  ps.bdgbIndex = ini.ReadInteger(kFactory, "bdgbIndex", 0);
  ps.TaggbIndex = ini.ReadInteger(kFactory, "TaggbIndex", 0);
  ReadBlockAndDefs(ini, ps);
  ps.DownProg = ini.ReadBool(kFactory, "IsDownkDownProg", true);
  ps.BinFilePath = std::string(TrimBlanks(ini.ReadString(kFactory, "binFilePath", "")));
  ps.BinFilePathUtf8 = std::string(TrimBlanks(ini.ReadString(kFactory, kBinFilePathUtf8Key, "")));
  ps.IsEnabled = ini.ReadBool(kSet, "IsEnabled", true);
  const std::int32_t increase = ini.ReadInteger(kOurSection, kIncreaseKey, 0);
  ps.IncreaseByte = increase >= kFirstDefByte && increase <= 255 ? increase : 0;
  return std::move(regions.names);
}

void SaveParams(IniFile& ini, const ParamSet& ps, std::string_view langSuffix) {
  // A half-written parameter file is a corrupted one: everything goes in one
  // replacement of the file, or nothing does.
  IniUpdate batch(ini);
  ini.WriteString(kPort, "ip", ps.DeviceIp);
  ini.WriteInteger(kPort, "com", ps.ComIndex);
  ini.WriteBool(kPort, "use com", ps.UseCom);

  ini.WriteInteger(kFactory, "bdgbIndex", ps.bdgbIndex);
  ini.WriteInteger(kFactory, "TaggbIndex", ps.TaggbIndex);
  ini.WriteBool(kFactory, "IsDownkDownProg", ps.DownProg);
  ini.WriteString(kFactory, "binFilePath", ps.BinFilePath);
  // The UTF-8 key appears only in files that need it.
  if (!ps.BinFilePathUtf8.empty() || !ini.ReadString(kFactory, kBinFilePathUtf8Key, "").empty()) {
    ini.WriteString(kFactory, kBinFilePathUtf8Key, ps.BinFilePathUtf8);
  }

  for (int n = 1; n <= 255; ++n) {
    ini.WriteInteger(kFactory, ByteKeys[n], ps.Block[n]);
    if (n < kFirstDefByte) continue;
    auto field = [n](char suffix) { return DefKey(n, suffix); };
    const ParamDef& d = ps.Defs[n];
    ini.WriteString(kFactory, field('0'), d.Option0);
    ini.WriteString(kFactory, field('1'), d.Option1);
    ini.WriteString(kFactory, field('x'), d.Note);
    ini.WriteString(kFactory, field('t'), d.Caption);
    ini.WriteInteger(kFactory, field('n'), d.Width);
    ini.WriteInteger(kFactory, field('k'), d.Kind);
  }

  std::size_t next = 0;
  for (std::size_t k = 2; k < ps.GravityRegions.size(); ++k) ini.WriteString(kAregb, RegionKey(next++), ps.GravityRegions[k]);
  // An empty key ends the table: surplus regions of the file stop being read,
  // yet no key is deleted.
  ini.WriteString(kAregb, RegionKey(next), "");

  ini.WriteBool(kSet, "IsEnabled", ps.IsEnabled);
  ini.WriteString(kSet, "lngstr", langSuffix);
  // Like the UTF-8 path, our key appears only in files that use it.
  if (ps.IncreaseByte != 0 || ini.FindString(kOurSection, kIncreaseKey)) {
    ini.WriteString(kOurSection, kIncreaseKey, ps.IncreaseByte ? std::to_string(ps.IncreaseByte) : "");
  }
  batch.Commit();
}

std::string SetValuesLine(const ParamBlock& block, int row) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  row &= 0x0F;
  std::string line;
  line.reserve(51);
  line.push_back('0');
  line.push_back(kHex[row]);
  line.push_back(':');
  for (int j = 0; j < 16; ++j) {
    const std::uint8_t b = block[static_cast<std::size_t>(16 * row + j)];
    line.push_back(' ');
    line.push_back(kHex[b >> 4]);
    line.push_back(kHex[b & 0x0F]);
  }
  return line;
}

std::vector<std::string> SetValuesText(const ParamBlock& block) {
  std::vector<std::string> lines;
  lines.reserve(16);
  for (int r = 0; r < 16; ++r) lines.push_back(SetValuesLine(block, r));
  return lines;
}

std::int32_t GravityRaw(const ParamBlock& block, int first) {
  if (first < 0 || first > 253) return 0;
  return block[first] * 65536 + block[first + 1] * 256 + block[first + 2];
}

std::string GravityText(const ParamBlock& block, int first) {
  // k / 10000 with four decimals is exact in integers; no rounding to get wrong.
  const std::int32_t k = GravityRaw(block, first);
  char buf[24];
  std::snprintf(buf, sizeof buf, "%d.%04d", k / 10000, k % 10000);
  return buf;
}

std::string GravityValueText(double g) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", g);
  return buf;
}

void GravityToBytes(ParamBlock& block, int first, double g) {
  if (first < 0 || first > 253) return;
  double scaled = (g + 0.0000001) * 10000.0;
  if (!std::isfinite(scaled)) scaled = 0;
  scaled = std::clamp(scaled, -1e15, 1e15);  // keeps the conversion defined
  const std::int64_t k = static_cast<std::int64_t>(scaled);  // integer part
  block[first] = Low8(k / 65536);
  block[first + 1] = Low8(k / 256);
  block[first + 2] = Low8(k);
}

std::optional<double> ParseDecimal(std::string_view text) {
  std::string_view s = TrimBlanks(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::string_view body = s.substr(i);
  // Accept digits, at most one ".", at least one digit, optional exponent.
  std::size_t p = 0, digits = 0;
  while (p < body.size() && body[p] >= '0' && body[p] <= '9') ++p, ++digits;
  if (p < body.size() && body[p] == '.') {
    ++p;
    while (p < body.size() && body[p] >= '0' && body[p] <= '9') ++p, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (p < body.size() && (body[p] == 'e' || body[p] == 'E')) {
    std::size_t q = p + 1;
    if (q < body.size() && (body[q] == '+' || body[q] == '-')) ++q;
    std::size_t expDigits = 0;
    while (q < body.size() && body[q] >= '0' && body[q] <= '9') ++q, ++expDigits;
    if (expDigits == 0) return std::nullopt;
    p = q;
  }
  if (p != body.size()) return std::nullopt;
  double v = 0;
  const auto r = std::from_chars(body.data(), body.data() + body.size(), v);
  if (r.ec != std::errc() || r.ptr != body.data() + body.size() || !std::isfinite(v)) return std::nullopt;
  return negative ? -v : v;
}

}  // namespace facset

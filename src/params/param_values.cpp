#include "params/param_values.h"

#include <algorithm>
#include <span>

#include "lang/lang.h"
#include "platform/text_encoding.h"
#include "platform/text_rules.h"

namespace facset {
namespace {

constexpr std::string_view kScreens[] = {"sLongscreen", "sSquarescreen", "sRodlessScreen", "sHangingscale",
                                         "s7272Screen"};
constexpr std::string_view kKeyboards[] = {"sOldKeyboard", "sNewKeyboard", "sRodlessScreenKeyboard",
                                           "s7272ScreenKeyBoard", "sKP042KeyBoard"};
constexpr std::string_view kPrintModes[] = {"sPrintmode0", "sPrintmode1"};
constexpr std::string_view kNetworks[] = {"sEthernet", "sEthernetWireless"};
constexpr std::string_view kLabelHandling[] = {"sPrintforward", "sLabeltakenaway"};

const CatalogEntry* CatalogEntryOf(std::string_view key) {
  for (const CatalogEntry& e : CatalogTable()) {
    if (e.key == key) return &e;
  }
  return nullptr;
}

std::string BuiltInText(std::string_view key, bool chinese) {
  const CatalogEntry* e = CatalogEntryOf(key);
  if (!e) return std::string(key);
  return chinese ? ShownCaption(e->chinese) : ShownCaption(e->english);
}

bool MatchesBuiltIn(std::string_view key, std::string_view value) {
  return EqualsFoldedAscii(value, BuiltInText(key, false)) || value == BuiltInText(key, true);
}

// "byte[N]" (blanks inside the brackets allowed) gives N, else -1.
int ByteName(std::string_view name) {
  if (name.size() < 7 || !EqualsFoldedAscii(name.substr(0, 5), "byte[") || name.back() != ']') return -1;
  const std::string_view inner = TrimBlanks(name.substr(5, name.size() - 6));
  if (inner.empty() || inner.size() > 3 || inner.find_first_not_of("0123456789") != std::string_view::npos) return -1;
  const int n = std::stoi(std::string(inner));
  return n <= 255 ? n : -1;
}

bool AllDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string ChoiceList(const std::vector<std::string>& entries) {
  std::string s;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    s += (i ? ", " : "") + std::to_string(i) + " \"" + entries[i] + "\"";
  }
  return s;
}

// The index VALUE names among `entries` (their text, or the index itself), or -1.
int ChoiceIndex(const std::vector<std::string>& entries, std::string_view value,
                std::span<const std::string_view> builtInKeys = {}) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i] == value || (i < builtInKeys.size() && MatchesBuiltIn(builtInKeys[i], value))) {
      return static_cast<int>(i);
    }
  }
  if (AllDigits(value) && value.size() <= 3) {
    const int i = std::stoi(std::string(value));
    if (static_cast<std::size_t>(i) < entries.size()) return i;
  }
  return -1;
}

std::string SetNumeric(ParamSet& ps, const ParamRow& row, std::string_view value) {
  if (row.readOnly) return "a numeric parameter wider than 3 bytes is shown only";
  if (!AllDigits(value)) return "a numeric parameter takes digits only";
  const std::int32_t max = NumericMax(row.width);
  const std::string_view digits = value.substr(std::min(value.find_first_not_of('0'), value.size() - 1));
  if (digits.size() > 10 || std::stoll(std::string(digits)) > max) {
    return "greater than the maximum " + std::to_string(max);
  }
  SplitValue(ps.Block, static_cast<std::int32_t>(std::stoll(std::string(digits))), row.byte, row.width);
  return {};
}

std::string SetText(ParamSet& ps, const ParamRow& row, std::string_view value) {
  for (const char c : value) {
    if (static_cast<unsigned char>(c) >= 128) return "a text parameter takes characters below 128 only";
  }
  if (!WriteTextParam(ps.Block, row, value)) return "longer than " + std::to_string(row.width) + " bytes";
  return {};
}

std::vector<std::string> RowChoices(const ParamSet& ps, const ParamRow& row) {
  std::vector<std::string> out;
  for (const std::string& e : TwoChoiceEntries(ps.Defs[static_cast<std::size_t>(row.byte)])) {
    out.push_back(ShownCaption(e));
  }
  return out;
}

std::span<const std::string_view> ListKeys(FixedField f) {
  switch (f) {
    case FixedField::Screen: return kScreens;
    case FixedField::Keyboard: return kKeyboards;
    case FixedField::PrintMode: return kPrintModes;
    case FixedField::Network: return kNetworks;
    case FixedField::LabelHandling: return kLabelHandling;
    default: return {};
  }
}

int ListByte(FixedField f) {
  switch (f) {
    case FixedField::Screen: return 1;
    case FixedField::Keyboard: return 2;
    case FixedField::PrintMode: return 3;
    case FixedField::Network: return 4;
    case FixedField::LabelHandling: return 6;
    case FixedField::CalibrationGravity: return 8;
    case FixedField::UseGravity: return 11;
  }
  return 0;
}

std::vector<std::string> ListEntries(FixedField f, bool chinese) {
  std::vector<std::string> out;
  for (std::string_view key : ListKeys(f)) out.push_back(BuiltInText(key, chinese));
  return out;
}

std::string SetGravity(ParamSet& ps, FixedField f, std::string_view value) {
  const bool calibration = f == FixedField::CalibrationGravity;
  const int first = calibration ? 8 : 11;
  int index = -1;
  std::optional<double> g;
  if (MatchesBuiltIn("sNoSet", value)) {
    index = 0;
  } else {
    for (std::size_t i = 2; i < ps.GravityRegions.size(); ++i) {
      const std::string& line = ps.GravityRegions[i];
      if (!EqualsFoldedAscii(ShownCaption(line.substr(0, line.find('='))), value)) continue;
      index = static_cast<int>(i);
      g = ParseDecimal(RegionValue(line));
      if (!g) return "the region's value '" + GbkToUtf8(RegionValue(line)) + "' is not a number";
      break;
    }
    if (index < 0) {
      g = ParseDecimal(value);
      if (!g) {
        std::string regions;
        for (std::size_t i = 2; i < ps.GravityRegions.size(); ++i) {
          const std::string& line = ps.GravityRegions[i];
          regions += (regions.empty() ? "" : ", ") + ShownCaption(line.substr(0, line.find('=')));
        }
        return "not a region of the file (" + (regions.empty() ? std::string("it has none") : regions) +
               "), a gravity from 9.7 to 9.9, nor \"not set\"";
      }
      index = 1;
    }
    if (*g < kGravityMin || *g > kGravityMax) {
      return "gravity " + GravityValueText(*g) + " is outside " + GravityValueText(kGravityMin) + " to " +
             GravityValueText(kGravityMax);
    }
  }
  if (index == 0) {
    ps.Block[static_cast<std::size_t>(first)] = ps.Block[static_cast<std::size_t>(first) + 1] =
        ps.Block[static_cast<std::size_t>(first) + 2] = 0;
  } else {
    GravityToBytes(ps.Block, first, *g);
  }
  if (calibration) {
    ps.bdgbIndex = index;
    ps.Block[7] = index >= 1 ? kCalibrationGravitySet : 0;
  } else {
    ps.TaggbIndex = index;
  }
  return {};
}

}  // namespace

int ParamField::Key() const { return row ? row->byte : ListByte(fixed); }

const std::vector<FixedFieldName>& FixedFieldNames() {
  static const std::vector<FixedFieldName> names = {
      {FixedField::Screen, {"screen", "screen type", "屏幕类型"}},
      {FixedField::Keyboard, {"keyboard", "keyboard type", "按键类型"}},
      {FixedField::PrintMode, {"print mode", "打印模式"}},
      {FixedField::Network, {"network", "network interface", "网络接口"}},
      {FixedField::LabelHandling, {"label handling", "标签处理"}},
      {FixedField::CalibrationGravity, {"calibration gravity", "target gravity", "标地重力"}},
      {FixedField::UseGravity, {"use gravity", "使用重力"}},
  };
  return names;
}

std::string ShownCaption(std::string_view gbk) {
  std::string s = ToLfBreaks(UnescapeText(gbk));
  for (char& c : s) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return GbkToUtf8(s);
}

const char* RowKindName(RowKind k) {
  switch (k) {
    case RowKind::Text: return "text";
    case RowKind::Numeric: return "numeric";
    case RowKind::TwoChoice: return "choice";
  }
  return "";
}

FieldLookup FindParamField(const ParamSet& ps, const RowPlan& plan, std::string_view given) {
  FieldLookup out;
  const std::string_view name = TrimBlanks(given);
  if (const int n = ByteName(name); n >= 0) {
    for (const ParamRow& r : plan.rows) {
      if (r.byte == n) {
        out.field = ParamField{r};
        return out;
      }
    }
    for (const FixedFieldName& f : FixedFieldNames()) {
      if (!ListKeys(f.field).empty() && ListByte(f.field) == n) {
        out.field = ParamField{std::nullopt, f.field};
        return out;
      }
    }
    out.why = "byte[" + std::to_string(n) + "] is not the first byte of a parameter";
    return out;
  }
  for (const ParamRow& r : plan.rows) {
    if (!EqualsFoldedAscii(ShownCaption(ps.Defs[static_cast<std::size_t>(r.byte)].Caption), name)) continue;
    if (out.field) {
      out.field.reset();
      out.why = "more than one parameter is called \"" + std::string(name) + "\": name it by byte[N]";
      return out;
    }
    out.field = ParamField{r};
  }
  if (out.field) return out;
  for (const FixedFieldName& f : FixedFieldNames()) {
    for (std::string_view n : f.names) {
      if (EqualsFoldedAscii(n, name)) {
        out.field = ParamField{std::nullopt, f.field};
        return out;
      }
    }
  }
  out.why = "no parameter called \"" + std::string(name) + "\"";
  return out;
}

std::string SetParamField(ParamSet& ps, const ParamField& f, std::string_view value) {
  if (f.row) {
    const ParamRow& row = *f.row;
    switch (row.kind) {
      case RowKind::Numeric: return SetNumeric(ps, row, value);
      case RowKind::Text: return SetText(ps, row, value);
      case RowKind::TwoChoice: {
        const std::vector<std::string> entries = RowChoices(ps, row);
        const int index = ChoiceIndex(entries, value);
        if (index < 0) return "not one of the choices: " + ChoiceList(entries);
        ps.Block[static_cast<std::size_t>(row.byte)] = static_cast<std::uint8_t>(index);
        return {};
      }
    }
    return "unknown parameter kind";
  }
  if (f.IsGravity()) return SetGravity(ps, f.fixed, value);
  const std::vector<std::string> entries = ListEntries(f.fixed, false);
  const int index = ChoiceIndex(entries, value, ListKeys(f.fixed));
  if (index < 0) return "not one of the choices: " + ChoiceList(entries);
  ps.Block[static_cast<std::size_t>(ListByte(f.fixed))] = static_cast<std::uint8_t>(index);
  return {};
}

std::string ParamFieldValue(const ParamSet& ps, const ParamField& f, bool chinese) {
  if (f.row) {
    const ParamRow& row = *f.row;
    switch (row.kind) {
      case RowKind::Numeric: return NumericText(ps.Block, row);
      case RowKind::Text: return GbkToUtf8(TextParamValue(ps.Block, row));
      case RowKind::TwoChoice: {
        const std::vector<std::string> entries = RowChoices(ps, row);
        const int i = TwoChoiceIndex(ps.Block, row, entries.size());
        return i < 0 ? std::string() : entries[static_cast<std::size_t>(i)];
      }
    }
    return {};
  }
  if (f.IsGravity()) {
    const bool calibration = f.fixed == FixedField::CalibrationGravity;
    const int index = calibration ? ps.bdgbIndex : ps.TaggbIndex;
    if (index == 0) return BuiltInText("sNoSet", chinese);
    if (index >= 2 && static_cast<std::size_t>(index) < ps.GravityRegions.size()) {
      const std::string& line = ps.GravityRegions[static_cast<std::size_t>(index)];
      return ShownCaption(line.substr(0, line.find('=')));
    }
    return GravityText(ps.Block, calibration ? 8 : 11);
  }
  const std::vector<std::string> entries = ListEntries(f.fixed, chinese);
  const std::size_t i = ps.Block[static_cast<std::size_t>(ListByte(f.fixed))];
  return i < entries.size() ? entries[i] : std::string();
}

std::optional<std::int64_t> LargestNumber(const ParamSet& ps, const ParamField& f) {
  if (!f.row) return f.IsGravity() ? std::nullopt : std::optional<std::int64_t>(ListKeys(f.fixed).size() - 1);
  const ParamRow& row = *f.row;
  switch (row.kind) {
    case RowKind::Numeric:
      if (row.readOnly) return std::nullopt;
      return NumericMax(row.width);
    case RowKind::Text: {
      std::int64_t max = 0;
      for (int i = 0; i < std::min(row.width, 18); ++i) max = max * 10 + 9;
      return max;
    }
    case RowKind::TwoChoice: {
      const std::size_t n = RowChoices(ps, row).size();
      if (n == 0) return std::nullopt;
      return static_cast<std::int64_t>(n - 1);
    }
  }
  return std::nullopt;
}

}  // namespace facset

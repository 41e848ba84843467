#include "params/param_rows.h"

#include <algorithm>

namespace facset {

RowPlan PlanParamRows(const std::array<ParamDef, 256>& defs) {
  RowPlan plan;
  int y = kRowFirstTop;
  int n = kFirstDefByte;
  while (n <= 255) {
    const ParamDef& d = defs[static_cast<std::size_t>(n)];
    if (d.Width > 0 && !d.Caption.empty()) {
      ParamRow row;
      row.byte = n;
      row.width = EffectiveWidth(n, d.Width);
      row.top = y;
      if (d.Kind == 1) {
        row.kind = RowKind::Text;
      } else if (!d.Note.empty()) {
        row.kind = RowKind::Numeric;
        row.readOnly = row.width > 3;
      } else {
        row.kind = RowKind::TwoChoice;
      }
      plan.rows.push_back(row);
      y += kRowPitch;
    }
    // Wide definitions may not push N past the block (nor overflow it).
    n += d.Width > 0 ? std::min(d.Width, 256 - n) : 1;
  }
  plan.panelHeight = y + kRowPitch;
  return plan;
}

std::int32_t NumericMax(int width) {
  width = std::clamp(width, 1, 3);
  return static_cast<std::int32_t>((std::int64_t{1} << (8 * width)) - 1);
}

NumericInput CheckNumericText(std::string_view text, int width) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return {true, 0};
  std::int64_t v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return {true, 0};  // not an integer
    v = v * 10 + (c - '0');
    if (v > 0xFFFFFFFFLL) return {false, 0};  // beyond every width
  }
  if (negative && v != 0) return {false, 0};
  if (v > NumericMax(width)) return {false, 0};
  return {true, static_cast<std::int32_t>(v)};
}

std::string NumericText(const ParamBlock& block, const ParamRow& row) {
  if (!row.readOnly) return std::to_string(JoinValue(block, row.byte, row.width));
  if (row.width <= 8) {
    std::uint64_t v = 0;
    for (int i = 0; i < row.width; ++i) v = (v << 8) | block[static_cast<std::size_t>(row.byte + i)];
    return std::to_string(v);
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int i = 0; i < row.width; ++i) {
    const std::uint8_t b = block[static_cast<std::size_t>(row.byte + i)];
    s.push_back(kHex[b >> 4]);
    s.push_back(kHex[b & 0x0F]);
  }
  return s;
}

std::string TextParamValue(const ParamBlock& block, const ParamRow& row) {
  std::string s;
  for (int i = 0; i < row.width; ++i) {
    const std::uint8_t b = block[static_cast<std::size_t>(row.byte + i)];
    if (b == 0) break;
    s.push_back(static_cast<char>(b));
  }
  return s;
}

bool WriteTextParam(ParamBlock& block, const ParamRow& row, std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(row.width)) return false;
  for (int i = 0; i < row.width; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    block[static_cast<std::size_t>(row.byte + i)] = k < bytes.size() ? static_cast<std::uint8_t>(bytes[k]) : 0;
  }
  return true;
}

std::vector<std::string> TwoChoiceEntries(const ParamDef& def) {
  std::vector<std::string> e;
  if (!def.Option0.empty()) e.push_back(def.Option0);
  if (!def.Option1.empty()) e.push_back(def.Option1);
  return e;
}

int TwoChoiceIndex(const ParamBlock& block, const ParamRow& row, std::size_t entryCount) {
  const int i = block[static_cast<std::size_t>(row.byte)] & 1;
  return static_cast<std::size_t>(i) < entryCount ? i : -1;
}

bool DigitKeyAllowed(char32_t c) { return c == 8 || (c >= U'0' && c <= U'9'); }

bool AsciiKeyAllowed(char32_t c) { return c < 128; }

bool GravityKeyAllowed(char32_t c, std::string_view currentText) {
  if (c == U'.') return currentText.find('.') == std::string_view::npos;
  return DigitKeyAllowed(c);
}

}  // namespace facset

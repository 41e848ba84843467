#pragma once
// Which rows the parameter area shows for the definitions of bytes 14..255,
// and the checks behind their editing; the window turns this into widgets.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "params/param_model.h"

namespace facset {

enum class RowKind { Text, Numeric, TwoChoice };

struct ParamRow {
  int byte = 0;      // N: the first block byte, also the controls' tag
  RowKind kind = RowKind::TwoChoice;
  int width = 0;     // bytes really covered: the definition's width cut at byte 255
  int top = 0;       // y of the row's control; its label stands at top - 3
  // A numeric parameter wider than 3 bytes: its maximum no longer fits a
  // signed 32-bit integer, so the row only shows the value and never writes.
  bool readOnly = false;
};

inline constexpr int kRowFirstTop = 1;
inline constexpr int kRowPitch = 30;

struct RowPlan {
  std::vector<ParamRow> rows;
  int panelHeight = kRowFirstTop + kRowPitch;  // last y + 30
};

// Walks N = 14..255: a row when Width > 0 and Caption is not empty; N advances
// by Width when it is above 0, else by 1.
RowPlan PlanParamRows(const std::array<ParamDef, 256>& defs);

// 2^(8 * width) - 1 for widths 1..3.
std::int32_t NumericMax(int width);

// The operator's text of a numeric list: an empty or non-integer text counts as
// 0; a value above the maximum, a negative one or one too long for any width is
// refused (nothing is written).
struct NumericInput {
  bool accepted = true;
  std::int32_t value = 0;
};
NumericInput CheckNumericText(std::string_view text, int width);

// The value shown by a numeric row: JoinValue in decimal for widths up to 3;
// a read-only wide row shows the unsigned value of up to 8 bytes, beyond that
// the bytes in hexadecimal.
std::string NumericText(const ParamBlock& block, const ParamRow& row);

// A text row shows bytes N.. up to the first zero byte (at most width bytes).
std::string TextParamValue(const ParamBlock& block, const ParamRow& row);
// Stores `bytes` (GBK as typed) zero-padded to the row's width; false, and
// nothing written, when it is longer than the width.
bool WriteTextParam(ParamBlock& block, const ParamRow& row, std::string_view bytes);

// Entries of a two-choice list: Option0 if not empty, then Option1 if not empty.
std::vector<std::string> TwoChoiceEntries(const ParamDef& def);
// Bit 0 of byte N, or -1 when that index has no entry.
int TwoChoiceIndex(const ParamBlock& block, const ParamRow& row, std::size_t entryCount);

// Key filters, given the character typed (Unicode code point).
bool DigitKeyAllowed(char32_t c);   // backspace and "0".."9"
bool AsciiKeyAllowed(char32_t c);   // everything below 128
// Gravity fields: backspace, digits and one "."; Enter is handled apart.
bool GravityKeyAllowed(char32_t c, std::string_view currentText);

}  // namespace facset

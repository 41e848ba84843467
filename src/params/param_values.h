#pragma once
// Values set by name: the rules every front end applies when a parameter is
// named and given a value as text (facset-cli param, download --set, a
// targets file's columns, the window's increasing row). A value passes
// exactly what the window's control for it would take.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/param_model.h"
#include "params/param_rows.h"

namespace facset {

// The fixed fields beside the generated rows, by the names users give them.
enum class FixedField : std::uint8_t {
  Screen,              // cbb1, byte 1
  Keyboard,            // cbb2, byte 2
  PrintMode,           // cbb3, byte 3
  Network,             // Cbb4, byte 4
  LabelHandling,       // Cbb6, byte 6
  CalibrationGravity,  // Cboxbdgb/edtbdgb: byte 7 and bytes 8..10
  UseGravity,          // CboxTaggb/edttaggb: bytes 11..13
};

// What a name stands for: one generated row, or one fixed field.
struct ParamField {
  std::optional<ParamRow> row;  // a generated row
  FixedField fixed = FixedField::Screen;  // when there is no row

  bool IsGravity() const {
    return !row && (fixed == FixedField::CalibrationGravity || fixed == FixedField::UseGravity);
  }
  // The first block byte it writes (the row's byte, the list's tag, 8 or 11
  // for a gravity): two names of one field give the same key.
  int Key() const;
};

struct FieldLookup {
  std::optional<ParamField> field;
  std::string why;  // when there is none: "no parameter called ..."
};

// NAME is (letter case aside, blanks around it dropped): a generated row's
// caption as `ShownCaption` gives it, "byte[N]" for the row beginning at N or
// the fixed list of byte N, or a fixed field's name (`FixedFieldNames`).
// Two rows of one caption are refused: name them by byte[N].
FieldLookup FindParamField(const ParamSet& ps, const RowPlan& plan, std::string_view name);

// Sets VALUE (UTF-8) on `ps` under the rules of the field's control:
//   numeric   digits only, at most 255, 65535 or 16777215 by its width
//   text      characters below 128 only, at most its width in bytes
//   choice    an option's text or its index; the fixed lists also take
//             their English or Chinese entry text
//   gravity   a region name of the file's table, a value from 9.7 to 9.9
//             (manual input), or "not set"; the list's index follows, and
//             the calibration site's byte 7 as in the window
// Returns "" or the refusal, `ps` then unchanged.
std::string SetParamField(ParamSet& ps, const ParamField& f, std::string_view value);

// The value as the window shows it (UTF-8); fixed lists in the Chinese or
// English text.
std::string ParamFieldValue(const ParamSet& ps, const ParamField& f, bool chinese);

// The largest whole number the field takes as a value (a numeric row's
// maximum, a text row's widest run of digits, a choice's last index), or
// nullopt when it takes no number (a gravity, a read-only row).
std::optional<std::int64_t> LargestNumber(const ParamSet& ps, const ParamField& f);

// A caption or option as the window shows it, on one line, in UTF-8.
std::string ShownCaption(std::string_view gbk);

// "text", "numeric" or "choice".
const char* RowKindName(RowKind k);

// The names of the fixed fields, each first as documented, then the other
// names it answers to (the window's labels and role names).
struct FixedFieldName {
  FixedField field;
  std::vector<std::string_view> names;  // UTF-8
};
const std::vector<FixedFieldName>& FixedFieldNames();

}  // namespace facset

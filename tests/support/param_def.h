#pragma once
// A parameter definition as a file would give it, for tests of the rows and
// the values set on them.

#include "params/param_model.h"

namespace facset::testing {

inline ParamDef Def(const char* caption, int width, int kind = 0, const char* note = "") {
  ParamDef d;
  d.Caption = caption;
  d.Width = width;
  d.Kind = kind;
  d.Note = note;
  return d;
}

}  // namespace facset::testing

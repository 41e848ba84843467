#pragma once
// The values set for one run (download --set, a targets table), as records,
// --json and history hold and show them.

#include <string>
#include <string_view>
#include <vector>

#include "download/download_request.h"

namespace facset {

// [{"name":"Scale number","value":"3","origin":"seq:1:1"}, ...]
std::string ValuesSetJson(const std::vector<ValueSet>& values);
// The inverse; empty for anything that is not such an array.
std::vector<ValueSet> ParseValuesSetJson(std::string_view json);
// One line: "Scale number=3 (seq:1:1), Shop code=A1"; "" for none.
std::string ValuesSetText(const std::vector<ValueSet>& values);

}  // namespace facset

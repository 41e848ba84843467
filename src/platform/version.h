#pragma once
#include <string_view>

namespace facset {

// "0.1 (commit 0123456789ab)" when built from a git checkout, else "0.1".
std::string_view ProjectVersion();

}  // namespace facset

#pragma once
#include <string>

namespace facset {

// Directory of the running program, with its trailing "/". The tool keeps its
// configuration and language files there.
std::string ExecutableDir();
// For tests: make ExecutableDir() return `dir` (a trailing "/" is added); "" restores.
void OverrideExecutableDir(const std::string& dir);

}  // namespace facset

#pragma once
// Fills the placeholders of a catalog text. Translators edit these texts, so
// they are never handed to printf: each conversion ("%s", "%d", "%4.4d", ...)
// takes the next argument as the caller formatted it, "%%" is a percent sign,
// and a placeholder without an argument stays as written.

#include <string>
#include <string_view>
#include <vector>

namespace facset {

std::string FormatMsg(std::string_view format, const std::vector<std::string>& args);

}  // namespace facset

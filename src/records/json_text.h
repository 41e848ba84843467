#pragma once
// The little JSON the records need: strings (written always valid), and the
// log column, a JSON array of strings, read back without a general parser.

#include <string>
#include <string_view>
#include <vector>

namespace facset {

// Appends `s` as a JSON string; bytes that are not UTF-8 become U+FFFD.
void AppendJsonString(std::string& out, std::string_view s);
// ["a","b"]
std::string JsonStringArray(const std::vector<std::string>& items);
// The inverse of JsonStringArray (any valid JSON array of strings); empty for
// anything else.
std::vector<std::string> ParseJsonStringArray(std::string_view json);

}  // namespace facset

#pragma once
// JSON as facset prints and stores it, written and read by Qt's JSON classes.
// Objects keep their members in the order they are added (Qt's own objects
// sort them), so documents read as they always have. Text that is not UTF-8
// (a GBK file name) becomes U+FFFD per byte that does not fit, so every
// document stays valid JSON.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace facset {

// `s` as a JSON string.
std::string JsonString(std::string_view s);
void AppendJsonString(std::string& out, std::string_view s);
// Each of `items` as a JSON string, all in one Qt serialization (many strings
// at once cost about what one does).
std::vector<std::string> JsonStrings(const std::vector<std::string_view>& items);

// An object written member by member, in order.
class JsonObject {
 public:
  JsonObject& Raw(std::string_view key, std::string_view json);  // `json` already JSON
  JsonObject& Str(std::string_view key, std::string_view s) { return Raw(key, JsonString(s)); }
  JsonObject& Int(std::string_view key, std::int64_t v) { return Raw(key, std::to_string(v)); }
  JsonObject& Bool(std::string_view key, bool v) { return Raw(key, v ? "true" : "false"); }
  JsonObject& Null(std::string_view key) { return Raw(key, "null"); }
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

// ["a","b"]
std::string JsonStringArray(const std::vector<std::string>& items);
// The inverse of JsonStringArray (any valid JSON array of strings); empty for
// anything else.
std::vector<std::string> ParseJsonStringArray(std::string_view json);

}  // namespace facset

#pragma once
// A small JSON writer for the --json output: values are added in order;
// strings are written as the records write them (bytes that are not UTF-8
// become U+FFFD, so the output stays valid JSON).

#include <cstdint>
#include <string>
#include <string_view>

namespace facset::cli {

std::string JsonString(std::string_view utf8);

class JsonObject {
 public:
  JsonObject& Raw(std::string_view key, std::string_view json);
  JsonObject& Str(std::string_view key, std::string_view utf8) { return Raw(key, JsonString(utf8)); }
  JsonObject& Int(std::string_view key, std::int64_t v) { return Raw(key, std::to_string(v)); }
  JsonObject& Bool(std::string_view key, bool v) { return Raw(key, v ? "true" : "false"); }
  JsonObject& Null(std::string_view key) { return Raw(key, "null"); }
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

}  // namespace facset::cli

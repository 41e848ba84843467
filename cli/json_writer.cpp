#include "json_writer.h"

#include "records/json_text.h"

namespace facset::cli {

std::string JsonString(std::string_view utf8) {
  std::string out;
  AppendJsonString(out, utf8);
  return out;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
  if (!body_.empty()) body_ += ",";
  body_ += JsonString(key);
  body_ += ":";
  body_ += json;
  return *this;
}

}  // namespace facset::cli

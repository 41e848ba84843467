#include "records/values_set.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "records/json_text.h"

namespace facset {

std::string ValuesSetJson(const std::vector<ValueSet>& values) {
  std::string out = "[";
  for (const ValueSet& v : values) {
    if (out.size() > 1) out += ',';
    out += JsonObject().Str("name", v.name).Str("value", v.value).Str("origin", v.origin).Text();
  }
  return out + "]";
}

std::vector<ValueSet> ParseValuesSetJson(std::string_view json) {
  QJsonParseError err{};
  const QJsonDocument doc =
      QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())), &err);
  if (err.error != QJsonParseError::NoError || !doc.isArray()) return {};
  std::vector<ValueSet> out;
  for (const QJsonValue& item : doc.array()) {
    const QJsonObject o = item.toObject();
    out.push_back({o.value("name").toString().toStdString(), o.value("value").toString().toStdString(),
                   o.value("origin").toString().toStdString()});
  }
  return out;
}

std::string ValuesSetText(const std::vector<ValueSet>& values) {
  std::string out;
  for (const ValueSet& v : values) {
    if (!out.empty()) out += ", ";
    out += v.name + "=" + v.value + (v.origin.empty() ? "" : " (" + v.origin + ")");
  }
  return out;
}

}  // namespace facset

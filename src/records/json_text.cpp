#include "records/json_text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QString>
#include <QStringEncoder>

namespace facset {
namespace {

QByteArray Compact(const QJsonArray& a) { return QJsonDocument(a).toJson(QJsonDocument::Compact); }

// A lone surrogate (a "\ud83d" without its pair) becomes U+FFFD, not "?".
std::string Utf8Of(const QString& s) {
  QStringEncoder utf8(QStringEncoder::Utf8, QStringConverter::Flag::Stateless);
  const QByteArray b = utf8(s);
  return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
  // Qt writes a lone value only inside an array: "[...]" without its brackets.
  const QByteArray doc = Compact(QJsonArray{QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()))});
  out.append(doc.constData() + 1, static_cast<std::size_t>(doc.size() - 2));
}

std::string JsonString(std::string_view s) {
  std::string out;
  AppendJsonString(out, s);
  return out;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
  if (!body_.empty()) body_ += ",";
  AppendJsonString(body_, key);
  body_ += ":";
  body_ += json;
  return *this;
}

std::string JsonStringArray(const std::vector<std::string>& items) {
  QJsonArray a;
  for (const std::string& s : items) a.append(QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())));
  return Compact(a).toStdString();
}

std::vector<std::string> ParseJsonStringArray(std::string_view json) {
  QJsonParseError err{};
  const QJsonDocument doc =
      QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())), &err);
  if (err.error != QJsonParseError::NoError || !doc.isArray()) return {};
  std::vector<std::string> out;
  for (const QJsonValue& v : doc.array()) {
    if (!v.isString()) return {};
    out.push_back(Utf8Of(v.toString()));
  }
  return out;
}

}  // namespace facset

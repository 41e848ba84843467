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

// Printable ASCII without a quote or a backslash is its own JSON text: only
// the rest needs Qt's writer.
bool Plain(std::string_view s) {
  for (const char c : s) {
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
  }
  return true;
}

void AppendPlain(std::string& out, std::string_view s) {
  out += '"';
  out += s;
  out += '"';
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
  if (Plain(s)) return AppendPlain(out, s);
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

std::vector<std::string> JsonStrings(const std::vector<std::string_view>& items) {
  std::vector<std::string> out(items.size());
  QJsonArray a;
  std::vector<std::size_t> viaQt;
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (Plain(items[k])) {
      AppendPlain(out[k], items[k]);
    } else {
      a.append(QString::fromUtf8(items[k].data(), static_cast<qsizetype>(items[k].size())));
      viaQt.push_back(k);
    }
  }
  if (viaQt.empty()) return out;
  const QByteArray doc = Compact(a);
  // ["...","..."]: each element ends at the first quote no backslash escapes.
  qsizetype i = 1;
  for (const std::size_t k : viaQt) {
    qsizetype j = i + 1;
    while (j < doc.size() && doc[j] != '"') j += doc[j] == '\\' ? 2 : 1;
    out[k].assign(doc.constData() + i, static_cast<std::size_t>(j + 1 - i));
    i = j + 2;  // past the quote and the comma
  }
  return out;
}

std::string JsonStringArray(const std::vector<std::string>& items) {
  const std::vector<std::string> each = JsonStrings(std::vector<std::string_view>(items.begin(), items.end()));
  std::string out = "[";
  for (std::size_t k = 0; k < each.size(); ++k) {
    if (k) out += ',';
    out += each[k];
  }
  out += ']';
  return out;
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

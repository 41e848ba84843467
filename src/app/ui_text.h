#pragma once
// The one place where GBK texts of the model meet Qt's strings. Everything a
// widget shows comes through ToQ; everything read back from a widget goes
// through FromQ before it reaches the model or a file.

#include <QString>
#include <string>
#include <string_view>

namespace facset {

QString ToQ(std::string_view gbk);
std::string FromQ(const QString& text);

}  // namespace facset

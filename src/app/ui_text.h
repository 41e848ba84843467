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

// Native (UTF-8) file-system paths to and from the GBK form the files store.
std::string GbkPathToNative(std::string_view gbk);
std::string NativePathToGbk(std::string_view native);

}  // namespace facset

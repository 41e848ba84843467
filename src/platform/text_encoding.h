#pragma once
// Texts live as GBK bytes in the model and in every file; they are decoded only
// where they meet a widget or a terminal, and encoded back from there.

#include <string>
#include <string_view>

namespace facset {

// GBK (code page 936) bytes to UTF-8; an invalid sequence becomes U+FFFD.
std::string GbkToUtf8(std::string_view gbk);
// UTF-8 to GBK bytes; a character GBK cannot hold, or an invalid UTF-8
// sequence, becomes "?".
std::string Utf8ToGbk(std::string_view utf8);
// True when GBK holds every character of `utf8` (valid UTF-8), so that
// Utf8ToGbk loses nothing.
bool GbkCanHold(std::string_view utf8);

}  // namespace facset

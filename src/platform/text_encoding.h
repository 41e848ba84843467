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

// Length of the valid UTF-8 sequence starting at s[i] (1 to 4), 0 when the
// byte starts none (a stray continuation byte, an overlong form, a surrogate).
std::size_t Utf8SequenceLen(std::string_view s, std::size_t i);
// `s` as valid UTF-8: each byte that starts no valid sequence becomes U+FFFD.
std::string ValidUtf8(std::string_view s);

// A name or text made safe to print to a terminal: its control characters are
// written as \\xNN, so that a terminal shows them instead of obeying them (ESC
// sequences set the title or the clipboard). Escaped are the C0 controls, DEL
// and, for a UTF-8 terminal, the C1 controls U+0080..U+009F (bytes C2 80..C2
// 9F); every other byte stays, so GBK text and names that are not UTF-8 pass
// as they are.
struct TerminalEscape {
  bool keepNewlines = false;  // LF stays a line break (multi-line log text)
  bool gbk = false;           // for a GBK terminal, where C2 80..9F is a character
};
std::string EscapeForTerminal(std::string_view s, TerminalEscape how = {});

}  // namespace facset

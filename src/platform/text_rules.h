#pragma once
// Byte-level text rules shared by the INI layer, the language files and the
// command line: blanks, ASCII letter case and line breaks. Texts are GBK or
// ASCII bytes; a lead byte 0x81..0xFE starts a two-byte character whose second
// byte is data, never a blank or a letter to fold.

#include <cstddef>
#include <string>
#include <string_view>

namespace facset {

inline bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Blanks are the control characters, the space and DEL.
inline bool IsBlankByte(unsigned char c) { return c <= 0x20 || c == 0x7F; }

// Length of the character starting at s[i]: 2 for a GBK pair, else 1.
inline std::size_t GbkCharLen(std::string_view s, std::size_t i) {
  return (IsGbkLead(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) ? 2 : 1;
}

// Blanks removed from both ends, never splitting a GBK pair.
std::string_view TrimBlanks(std::string_view s);

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// ASCII letters lowered; GBK pairs kept as they are. `out` is replaced.
void FoldAsciiInto(std::string_view s, std::string& out);
std::string FoldAscii(std::string_view s);
// Equal after FoldAscii.
bool EqualsFoldedAscii(std::string_view a, std::string_view b);

// Length of the line break starting at s[i]: 2 for CR LF, 1 for a lone CR or
// LF, 0 when s[i] is no line break.
inline std::size_t LineBreakLen(std::string_view s, std::size_t i) {
  if (s[i] == '\r') return (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
  return s[i] == '\n' ? 1 : 0;
}
inline bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Every CR LF, lone CR or lone LF becomes one LF.
std::string ToLfBreaks(std::string_view s);

}  // namespace facset

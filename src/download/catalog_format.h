#pragma once
// Catalog texts such as "update(%d/%d)" come from a language file that
// translators edit, so they are never handed to printf. This formatter reads
// the conversions itself: %[-][0][width][.precision] followed by d, i, u, x or
// X takes the next integer ("x" prints upper-case digits, as the scale's
// reports always have), "%%" is a percent sign, and anything else, or a
// conversion without an argument left, stays as written.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace facset {

std::string FormatCatalog(std::string_view format, std::initializer_list<std::int64_t> args);

}  // namespace facset

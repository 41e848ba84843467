#pragma once
// Catalog texts such as "update(%d/%d)" come from a language file that
// translators edit, so they are never handed to printf. This formatter reads
// the conversions itself: %[-][0][width][.precision] followed by s, d, i, u, x
// or X takes the next argument. An integer argument is formatted by the
// conversion ("x" prints upper-case digits, as the scale's reports always
// have; "s" prints it in decimal); a text argument is inserted as it stands.
// "%%" is a percent sign; anything else, or a conversion without an argument
// left, stays as written.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace facset {

struct CatalogArg {
  template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
  CatalogArg(T v) : value(static_cast<std::int64_t>(v)) {}
  CatalogArg(std::string s) : value(std::move(s)) {}
  CatalogArg(const char* s) : value(std::string(s)) {}
  std::variant<std::int64_t, std::string> value;
};

std::string FormatCatalog(std::string_view format, std::initializer_list<CatalogArg> args);

}  // namespace facset

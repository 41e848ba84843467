#pragma once
// Times as the station records store and filter them: UTC, ISO 8601.

#include <optional>
#include <string>
#include <string_view>

namespace facset {

// Now as stored: "2026-12-10T04:01:26.123Z".
std::string UtcNowIso();

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM", "YYYY-MM-DDTHH:MM:SS" (a space may stand
// for "T", a trailing "Z" is allowed), read as UTC, to the stored form's
// prefix "YYYY-MM-DDTHH:MM:SS"; nullopt for anything else or an impossible date.
std::optional<std::string> ParseSinceDate(std::string_view text);

}  // namespace facset

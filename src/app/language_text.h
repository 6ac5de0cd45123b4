// Checks on the texts of a language file, which users and translators edit by hand.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// The printf conversions of text in order ("%d", "%s", "%c", "%lld", ...); "%%" is a
// literal percent sign and not a conversion.
std::vector<std::string> PrintfPlaceholders(std::string_view text);

// Whether text is well-formed UTF-8 without NUL characters, as every text we show must be.
bool IsCleanUtf8(std::string_view text);

}  // namespace kestrune

#include "app/language_text.h"

#include <cstdint>

namespace kestrune {

namespace {

bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLengthModifier(char c) { return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't'; }

}  // namespace

std::vector<std::string> PrintfPlaceholders(std::string_view text) {
    std::vector<std::string> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        size_t end = i + 1;
        if (end < text.size() && text[end] == '%') {
            i = end;
            continue;
        }
        while (end < text.size() && IsFlag(text[end])) ++end;
        while (end < text.size() && (IsDigit(text[end]) || text[end] == '*')) ++end;
        if (end < text.size() && text[end] == '.') {
            ++end;
            while (end < text.size() && (IsDigit(text[end]) || text[end] == '*')) ++end;
        }
        while (end < text.size() && IsLengthModifier(text[end])) ++end;
        // A lone "%" at the end still counts: it is as unsafe to hand to printf as a wrong one.
        if (end < text.size()) ++end;
        found.emplace_back(text.substr(i, end - i));
        i = end - 1;
    }
    return found;
}

bool IsCleanUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        if (lead == 0) return false;
        size_t length;
        uint32_t point;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;  // cut off in the middle of a character
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not UTF-8.
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

}  // namespace kestrune

#include "scanlog/relation_text.h"

#include <charconv>

namespace kestrune {

namespace {

template <typename Number>
bool ParseDecimal(std::string_view text, Number& out) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// The decimal digits at the start of text.
std::string_view LeadingDigits(std::string_view text) {
    size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
    return text.substr(0, n);
}

}  // namespace

std::string FormatRelationText(const ParentLinks& links) {
    std::string text;
    for (const auto& [key, ids] : links) {
        text += " | ";
        text += std::to_string(key);
        text += " - [";
        for (size_t i = 0; i < ids.size(); ++i) {
            if (i) text += ',';
            text += std::to_string(ids[i]);
        }
        text += ']';
    }
    return text;
}

void ParseRelationText(std::string_view text, ParentLinks& links) {
    constexpr std::string_view kEntry = " | ";
    constexpr std::string_view kListStart = "- [";
    size_t at = text.find(kEntry);
    while (at != std::string_view::npos) {
        const size_t keyStart = at + kEntry.size();
        const size_t listMark = text.find(kListStart, keyStart);
        if (listMark == std::string_view::npos) return;
        ParentKey key = 0;
        const bool keyOk = ParseDecimal(LeadingDigits(text.substr(keyStart)), key);

        std::vector<uint32_t> ids;
        size_t numberStart = listMark + kListStart.size();
        size_t position = numberStart;
        bool closed = false;
        for (; position < text.size(); ++position) {
            const char c = text[position];
            if (c != ',' && c != ']') continue;
            uint32_t id = 0;
            if (ParseDecimal(text.substr(numberStart, position - numberStart), id)) ids.push_back(id);
            numberStart = position + 1;
            if (c == ']') {
                closed = true;
                break;
            }
        }
        if (keyOk) links[key] = std::move(ids);
        if (!closed) return;
        at = text.find(kEntry, position);
    }
}

}  // namespace kestrune

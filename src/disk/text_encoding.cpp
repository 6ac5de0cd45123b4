#include "disk/text_encoding.h"

namespace kestrune {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
            AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (IsHigh(u) || IsLow(u)) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::string Utf16LeToUtf8(ByteView bytes, size_t offset, size_t units, bool stopAtNul) {
    std::u16string text;
    for (size_t i = 0; i < units && bytes.has(offset + 2 * i, 2); ++i) {
        const char16_t u = bytes.le16(offset + 2 * i);
        if (stopAtNul && u == 0) break;
        text.push_back(u);
    }
    return Utf16ToUtf8(text);
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        char32_t c = kReplacement;
        size_t length = 1;
        auto continuation = [&](size_t k) {
            return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        };
        auto bits = [&](size_t k) { return char32_t(static_cast<unsigned char>(text[i + k]) & 0x3F); };
        if (b0 < 0x80) {
            c = b0;
        } else if ((b0 & 0xE0) == 0xC0 && continuation(1)) {
            c = (char32_t(b0 & 0x1F) << 6) | bits(1);
            length = 2;
            if (c < 0x80) c = kReplacement;
        } else if ((b0 & 0xF0) == 0xE0 && continuation(1) && continuation(2)) {
            c = (char32_t(b0 & 0x0F) << 12) | (bits(1) << 6) | bits(2);
            length = 3;
            if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
        } else if ((b0 & 0xF8) == 0xF0 && continuation(1) && continuation(2) && continuation(3)) {
            c = (char32_t(b0 & 0x07) << 18) | (bits(1) << 12) | (bits(2) << 6) | bits(3);
            length = 4;
            if (c < 0x10000 || c > 0x10FFFF) c = kReplacement;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return out;
}

std::string_view CutUtf8(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    // Step back over continuation bytes to the start of the character that does not fit.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace kestrune

#include "session/finding_filter.h"

#include <fnmatch.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>

#include "base/file_time.h"
#include "disk/text_encoding.h"
#include "scanlog/file_types.h"

namespace kestrune {

FoundBy FoundByOf(const ScanRecord& record) {
    if (ExistingFile(record)) return FoundBy::Existing;
    switch (record.engineKind) {
        case Signature: return FoundBy::Carved;
        case NtfsFormatted:
        case FatFormatted:
        case ExfatFormatted:
        case ExtFormatted: return FoundBy::Formatted;
        default: return FoundBy::Deleted;
    }
}

const char* FoundByName(FoundBy foundBy) {
    switch (foundBy) {
        case FoundBy::Deleted: return "deleted";
        case FoundBy::Formatted: return "formatted";
        case FoundBy::Carved: return "carved";
        case FoundBy::Existing: return "existing";
    }
    return "deleted";
}

namespace {

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// text in lower case, letters of every alphabet: both sides of a comparison are folded alike.
std::string FoldCase(std::string_view text) {
    if (IsAscii(text)) {
        std::string folded(text);
        for (char& c : folded) c = AsciiLower(c);
        return folded;
    }
    static const locale_t unicode = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    std::u16string units = Utf8ToUtf16(text);
    for (char16_t& unit : units)
        if (unit < 0xD800 || unit > 0xDFFF)
            unit = static_cast<char16_t>(unicode ? ::towlower_l(unit, unicode) : AsciiLower(static_cast<char>(unit)));
    return Utf16ToUtf8(units);
}

}  // namespace

bool NameMatches(std::string_view pattern, std::string_view name) {
    if (pattern.empty()) return true;
    if (pattern.find_first_of("*?[") != std::string_view::npos)
        return ::fnmatch(FoldCase(pattern).c_str(), FoldCase(name).c_str(), 0) == 0;
    // Plain text, the common case for a list of a million names: ASCII is compared in place.
    if (IsAscii(pattern))
        return std::search(name.begin(), name.end(), pattern.begin(), pattern.end(),
                           [](char a, char b) { return AsciiLower(a) == AsciiLower(b); }) != name.end();
    return FoldCase(name).find(FoldCase(pattern)) != std::string::npos;
}

bool FindingFilter::Empty() const {
    return namePattern.empty() && minSize == 0 && !maxSize && !modifiedFrom && !modifiedUntil && !deletedOnly &&
           !minRecoverable;
}

bool FindingFilter::Matches(const ScanRecord& record, int recoverable) const {
    if (minRecoverable && recoverable < *minRecoverable) return false;
    if (record.fileSize < minSize || (maxSize && record.fileSize > *maxSize)) return false;
    if (deletedOnly && FoundByOf(record) != FoundBy::Deleted) return false;
    if ((modifiedFrom || modifiedUntil) && record.writeTime == 0) return false;
    if (modifiedFrom && record.writeTime < *modifiedFrom) return false;
    if (modifiedUntil && record.writeTime >= *modifiedUntil) return false;
    return NameMatches(namePattern, RecordName(record));
}

bool ParseSizeText(std::string_view text, uint64_t& bytes) {
    std::string t;
    for (char c : text) t.push_back(c == ',' ? '.' : static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    auto trim = [&t] {
        while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
        while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.erase(t.begin());
    };
    trim();
    // "1,5 MB", "64KiB", "10M", "500 B" as people write them.
    if (!t.empty() && t.back() == 'B') t.pop_back();
    if (t.size() >= 2 && t.back() == 'I' && std::string_view("KMGT").find(t[t.size() - 2]) != std::string_view::npos)
        t.pop_back();
    int shift = 0;
    if (!t.empty()) {
        const size_t unit = std::string_view("KMGT").find(t.back());
        if (unit != std::string_view::npos) {
            shift = 10 * static_cast<int>(unit + 1);
            t.pop_back();
        }
    }
    trim();
    const size_t point = t.find('.');
    const std::string wholeText = t.substr(0, point);
    const std::string fractionText = point == std::string::npos ? std::string() : t.substr(point + 1);
    auto digitsOnly = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if ((wholeText.empty() && fractionText.empty()) || !digitsOnly(wholeText) || !digitsOnly(fractionText))
        return false;
    // Whole and fractional parts apart, so that "1.5G" is exact.
    uint64_t whole = 0, fraction = 0, scale = 1;
    if (!wholeText.empty() &&
        std::from_chars(wholeText.data(), wholeText.data() + wholeText.size(), whole).ec != std::errc())
        return false;
    for (char c : fractionText.substr(0, 9)) {
        fraction = fraction * 10 + static_cast<uint64_t>(c - '0');
        scale *= 10;
    }
    if (shift > 0 && whole > (UINT64_MAX >> shift)) return false;
    bytes = (whole << shift) + static_cast<uint64_t>((static_cast<unsigned __int128>(fraction) << shift) / scale);
    return true;
}

bool ParseDateText(std::string_view text, bool endOfDay, uint64_t& fileTime) {
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    auto number = [&text](size_t at, size_t length, auto& out) {
        if (at + length > text.size()) return false;
        for (size_t i = at; i < at + length; ++i)
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        return std::from_chars(text.data() + at, text.data() + at + length, out).ec == std::errc();
    };
    if (!number(0, 4, year) || text.size() < 10 || text[4] != '-' || !number(5, 2, month) || text[7] != '-' ||
        !number(8, 2, day))
        return false;
    const bool timed = text.size() > 10;
    if (timed && (text.size() != 19 || (text[10] != 'T' && text[10] != ' ') || !number(11, 2, hour) ||
                  text[13] != ':' || !number(14, 2, minute) || text[16] != ':' || !number(17, 2, second) ||
                  hour > 23 || minute > 59 || second > 59))
        return false;
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    if (!date.ok() || year < 1601) return false;
    int64_t seconds = std::chrono::sys_days(date).time_since_epoch().count() * int64_t{86400} +
                      int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
    if (!timed && endOfDay) seconds += 86400;
    fileTime = FileTimeFromUnix(seconds);
    return true;
}

}  // namespace kestrune

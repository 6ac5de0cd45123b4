#include "base/display_text.h"

#include <cinttypes>
#include <cstdio>

#include "base/file_time.h"

namespace kestrune {

std::string FormatSize(uint64_t bytes) {
    struct Unit {
        uint64_t size;
        const char* name;
    };
    static constexpr Unit kUnits[] = {
        {1ULL << 40, "TB"}, {1ULL << 30, "GB"}, {1ULL << 20, "MB"}, {1ULL << 10, "KB"}};
    char text[64];
    for (const Unit& unit : kUnits) {
        if (bytes >= unit.size) {
            std::snprintf(text, sizeof text, "%.2f %s",
                          static_cast<double>(bytes) / static_cast<double>(unit.size), unit.name);
            return text;
        }
    }
    std::snprintf(text, sizeof text, "%" PRIu64 " Bytes", bytes);
    return text;
}

std::string FormatDuration(uint64_t seconds) {
    char text[64];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%" PRIu64 " Hour %" PRIu64 " Min", seconds / 3600,
                      seconds % 3600 / 60);
    else if (seconds >= 60)
        std::snprintf(text, sizeof text, "%" PRIu64 " Min %" PRIu64 " Sec", seconds / 60, seconds % 60);
    else
        std::snprintf(text, sizeof text, "%" PRIu64 " Sec", seconds);
    return text;
}

std::string IsoFileTime(uint64_t fileTime) {
    if (fileTime == 0) return {};
    const CalendarTime t = CalendarFromFileTime(fileTime);
    char text[48];
    std::snprintf(text, sizeof text, "%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

std::string FormatFileTime(uint64_t fileTime) {
    const CalendarTime t = CalendarFromFileTime(fileTime);
    char text[64];
    // Zero-padded, as dates are written everywhere else: "2026-12-08", which also sorts.
    std::snprintf(text, sizeof text, "%" PRId64 "-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

}  // namespace kestrune

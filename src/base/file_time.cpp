#include "base/file_time.h"

namespace kestrune {

uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds) {
    const int64_t ticks = seconds * 10000000 + nanoseconds / 100;
    return static_cast<uint64_t>(static_cast<int64_t>(kFileTimeUnixEpoch) + ticks);
}

int64_t UnixSecondsFromFileTime(uint64_t fileTime) {
    return (static_cast<int64_t>(fileTime / 10000000)) -
           static_cast<int64_t>(kFileTimeUnixEpoch / 10000000);
}

namespace {

// Days from 1601-01-01 to a civil date and back (proleptic Gregorian calendar). 1601
// starts a 400-year cycle, so the arithmetic runs on years counted from it.
constexpr int64_t kDaysPer400Years = 146097;

int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * kDaysPer400Years + dayOfEra - 719468;  // days since 1970-01-01
}

constexpr int64_t kDays1601To1970 = 134774;

}  // namespace

CalendarTime CalendarFromFileTime(uint64_t fileTime) {
    CalendarTime t{};
    t.hundredNanoseconds = static_cast<uint32_t>(fileTime % 10000000);
    const uint64_t totalSeconds = fileTime / 10000000;
    const uint64_t secondOfDay = totalSeconds % 86400;
    t.hour = static_cast<int>(secondOfDay / 3600);
    t.minute = static_cast<int>(secondOfDay % 3600 / 60);
    t.second = static_cast<int>(secondOfDay % 60);
    // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
    const int64_t z = static_cast<int64_t>(totalSeconds / 86400) - kDays1601To1970 + 719468;
    const int64_t era = (z >= 0 ? z : z - (kDaysPer400Years - 1)) / kDaysPer400Years;
    const int64_t dayOfEra = z - era * kDaysPer400Years;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    t.day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = yearOfEra + era * 400 + (t.month <= 2);
    return t;
}

uint64_t FileTimeFromCalendar(const CalendarTime& t) {
    const int64_t days = DaysFromCivil(t.year, t.month, t.day) + kDays1601To1970;
    if (days < 0) return 0;
    const uint64_t seconds = static_cast<uint64_t>(days) * 86400 + static_cast<uint64_t>(t.hour) * 3600 +
                             static_cast<uint64_t>(t.minute) * 60 + static_cast<uint64_t>(t.second);
    return seconds * 10000000 + t.hundredNanoseconds;
}

}  // namespace kestrune

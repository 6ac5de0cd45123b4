// Times as the file systems and the scan log keep them: FILETIME, 100-ns units since
// 1601-01-01 UTC, and the calendar fields people read.
#pragma once

#include <cstdint>

namespace kestrune {

// FILETIME: 100-ns units since 1601-01-01.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds = 0);
int64_t UnixSecondsFromFileTime(uint64_t fileTime);

struct CalendarTime {
    int64_t year;
    int month, day, hour, minute, second;
    uint32_t hundredNanoseconds;
};
CalendarTime CalendarFromFileTime(uint64_t fileTime);
// Days since 1601-01-01 for a proleptic Gregorian date; the inverse of the calendar split.
uint64_t FileTimeFromCalendar(const CalendarTime& time);

}  // namespace kestrune

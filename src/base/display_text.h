// Sizes, durations and times written for people, the same in every front end and report.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// "1023 Bytes", "1.00 KB", "1.50 MB", "1024.00 MB", "1.00 GB", "2.00 TB".
std::string FormatSize(uint64_t bytes);
// "59 Sec", "59 Min 59 Sec", "1 Hour 0 Min".
std::string FormatDuration(uint64_t seconds);
// "2016-12-5 14:07:09": the stored calendar fields, no time-zone change.
std::string FormatFileTime(uint64_t fileTime);
// "2016-12-05T14:07:09Z" (ISO 8601, UTC); empty for 0, an unknown time.
std::string IsoFileTime(uint64_t fileTime);

}  // namespace kestrune

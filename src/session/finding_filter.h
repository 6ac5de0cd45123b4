// What a user narrows a scan's findings to before anything is written: a name pattern,
// sizes, the modification dates, and how a file was found. The same rules serve every
// front end, so a listing and the recovery that follows it agree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "scanlog/scan_record.h"

namespace kestrune {

// How a file was found: through a volume's own records of deleted files, through what a
// former volume left (formatted), or by its signature alone (carved).
enum class FoundBy { Deleted, Formatted, Carved, Existing };
FoundBy FoundByOf(const ScanRecord& record);
// "deleted", "formatted" or "carved".
const char* FoundByName(FoundBy foundBy);

struct FindingFilter {
    std::string namePattern;  // as NameMatches takes it; empty: any
    uint64_t minSize = 0;
    std::optional<uint64_t> maxSize;
    std::optional<uint64_t> modifiedFrom;   // FILETIME, inclusive
    std::optional<uint64_t> modifiedUntil;  // FILETIME, exclusive
    bool deletedOnly = false;
    std::optional<int> minRecoverable;  // percent; see ScanRun::RecoverableShare

    // Whether a found file passes, given how much of it is recoverable (-1 unknown; asked
    // only when minRecoverable is set). A file whose modification time is unknown fails a
    // date bound, and one whose recoverable share is unknown a recoverable bound: nothing
    // says they lie within.
    bool Matches(const ScanRecord& record, int recoverable = -1) const;
    bool Empty() const;
};

// Whether a found file's name matches what a user typed, in any case (accented and other
// letters too): a pattern with * ? or [ is a shell pattern on the whole name ("IMG_*",
// "*.jp*g"); plain text may stand anywhere in it ("vacation" finds "Vacation 2024.jpg").
bool NameMatches(std::string_view pattern, std::string_view name);

// "1500", "64k", "10M", "1.5G", "1,5 MB", "2 TiB": K, M, G and T count 1024s, a part of a
// byte is dropped. False for anything else (a sign, two points, an unknown unit) or past
// 2^64.
bool ParseSizeText(std::string_view text, uint64_t& bytes);

// "2024-03-31" or "2024-03-31T14:05:00" (or with a blank), UTC, as FILETIME. False for a
// date the calendar lacks (2024-13-40, 2023-02-29) or any other text. endOfDay: a date
// without a time means its whole day, so the bound is the next day's midnight.
bool ParseDateText(std::string_view text, bool endOfDay, uint64_t& fileTime);

}  // namespace kestrune

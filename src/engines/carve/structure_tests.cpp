#include "engines/carve/structure_tests.h"

#include <algorithm>
#include <string_view>

#include "disk/boot_marks.h"

namespace kestrune::carve {

namespace {

constexpr size_t kEntryBytes = 32;
constexpr uint8_t kDeleted = 0xE5;
constexpr uint8_t kLongName = 0x0F;
constexpr uint8_t kVolumeLabel = 0x08;
constexpr uint8_t kDirectory = 0x10;
constexpr uint8_t kArchive = 0x20;

// A FAT date and time as one comparable number: yyyymmddhhmmss.
uint64_t StampValue(uint16_t date, uint16_t time) {
    const uint64_t year = 1980 + (date >> 9), month = (date >> 5) & 0x0F, day = date & 0x1F;
    const uint64_t hour = time >> 11, minute = (time >> 5) & 0x3F, second = (time & 0x1F) * 2;
    return ((((year * 100 + month) * 100 + day) * 100 + hour) * 100 + minute) * 100 + second;
}

bool StampInRange(uint16_t date, uint16_t time) {
    const uint64_t value = StampValue(date, time);
    return value >= 19900101000000ULL && value <= 20500101000000ULL;
}

// Whether a FAT date and time name a real moment (what a conversion to a file time needs).
bool StampConverts(uint16_t date, uint16_t time) {
    const unsigned month = (date >> 5) & 0x0F, day = date & 0x1F;
    const unsigned hour = time >> 11, minute = (time >> 5) & 0x3F, seconds = (time & 0x1F) * 2;
    return month >= 1 && month <= 12 && day >= 1 && hour < 24 && minute < 60 && seconds < 60;
}

bool IsDotPair(ByteView e, ByteView next) {
    return e.u8(0) == '.' && (e.u8(11) & kDirectory) && e.le32(28) == 0 && next.matches(0, "..") &&
           (next.u8(11) & kDirectory) && next.le32(28) == 0;
}

bool ShortNameBytesOk(ByteView e) {
    for (size_t i = 0; i < 11; ++i) {
        const uint8_t c = e.u8(i);
        if (c >= 0x80) continue;
        if (c < 0x20 || (c >= 'a' && c <= 'z')) return false;
        for (char bad : {'"', '*', '.', ':', '<', '>', '?', '\\', '|'})
            if (c == static_cast<uint8_t>(bad)) return false;
    }
    return true;
}

// The short-entry rules of the directory test: a creation stamp, no control bytes or dots,
// blanks only at the end of name and extension, and double-byte characters in pairs.
bool ShortEntryLooksWritten(ByteView e) {
    const uint8_t attributes = e.u8(11);
    if (attributes != kVolumeLabel && !StampConverts(e.le16(16), e.le16(14))) return false;
    for (size_t i = 0; i < 11; ++i)
        if (e.u8(i) < 0x20 || e.u8(i) == '.') return false;
    auto blanksOnlyAtEnd = [&](size_t from, size_t to) {
        bool blank = false;
        for (size_t i = from; i < to; ++i) {
            if (e.u8(i) == ' ') blank = true;
            else if (blank) return false;
        }
        return true;
    };
    if (!blanksOnlyAtEnd(0, 8) || !blanksOnlyAtEnd(8, 11)) return false;
    for (size_t i = e.u8(0) == kDeleted ? 1 : 0; i <= 9;) {
        if (e.u8(i) >= 0x80) {
            if (e.u8(i + 1) < 0x80) return false;
            i += 2;
        } else {
            ++i;
        }
    }
    return true;
}

}  // namespace

uint8_t ShortNameChecksum(ByteView entry) {
    uint8_t sum = 0;
    for (size_t i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry.u8(i));
    return sum;
}

bool IsPlausibleFatEntry(ByteView e, ByteView next) {
    // The two top attribute bits are never set, "." and ".." included: the cheapest
    // test first, as nearly every sector the deep scan reads fails it.
    const uint8_t a = e.u8(11);
    if (a & 0xC0) return false;
    if (IsDotPair(e, next)) return true;
    const uint32_t size = e.le32(28);
    const uint16_t high = e.le16(20), low = e.le16(26);
    const bool deleted = e.u8(0) == kDeleted;
    if (size == 0 && !(a & kDirectory) && (high || low)) return false;
    if (a == kVolumeLabel && (size || high || low)) return false;
    // The label bit belongs to labels and long names only.
    if (a != kLongName && a != kVolumeLabel && (a & kVolumeLabel)) return false;
    if ((a & kDirectory) && (a & 0x01)) return false;
    // 255 characters take 20 entries, so no live sequence number is above 20.
    if (a == kLongName && !deleted && (e.u8(0) & ~0x40) > 20) return false;
    if (a != kLongName && !deleted && !(a & kDirectory)) {
        if (!StampInRange(e.le16(16), e.le16(14)) || !StampInRange(e.le16(18), 0) ||
            !StampInRange(e.le16(24), e.le16(22)))
            return false;
    }
    if (a != kLongName && a != kVolumeLabel && !ShortNameBytesOk(e)) return false;
    if (!deleted && (a & kDirectory) && size != 0) return false;
    if (a == kLongName && low != 0) return false;
    if (a != kVolumeLabel && a != kLongName && !(a & (kDirectory | kArchive))) return false;
    return true;
}

bool IsFatDirectorySector(ByteView sector) {
    if (sector.size() < kEntryBytes) return true;
    const size_t entries = sector.size() / kEntryBytes;
    // No entry has either top attribute bit set (the zeros after the last entry neither):
    // one look at every attribute byte turns away nearly every sector of file data, which
    // is what the deep scan asks about most.
    uint8_t attributes = 0;
    for (size_t i = 0; i < entries; ++i) attributes |= sector.data()[i * kEntryBytes + 11];
    if (attributes & 0xC0) return false;
    for (size_t i = 0; i < entries; ++i) {
        const size_t at = i * kEntryBytes;
        const ByteView e = sector.sub(at, kEntryBytes);
        const ByteView next = sector.sub(at + kEntryBytes, kEntryBytes);
        if (e.u8(0) == 0) return i != 0 && sector.all(at, sector.size() - at, 0);
        if (!IsPlausibleFatEntry(e, next)) return false;
        if (IsDotPair(e, next)) {
            ++i;  // "." and ".." are accepted together
            continue;
        }
        if (std::equal(e.data() + 1, e.data() + 15, e.data() + 17))
            return false;  // the same 16 bytes twice: a pattern, not entries
        if (e.u8(11) == kLongName) {
            const uint8_t checksum = e.u8(13);
            size_t j = i + 1;
            for (; j < entries && j <= i + 19 && sector.u8(j * kEntryBytes + 11) == kLongName; ++j)
                if (sector.u8(j * kEntryBytes + 13) != checksum) return false;
            if (j < entries) {
                const ByteView shortEntry = sector.sub(j * kEntryBytes, kEntryBytes);
                if (shortEntry.u8(11) == kLongName) return false;  // more than 19 following: no name is that long
                if (shortEntry.u8(0) != kDeleted && ShortNameChecksum(shortEntry) != checksum) return false;
            }
            continue;
        }
        if (!ShortEntryLooksWritten(e)) return false;
    }
    return true;
}

bool IsFileSystemStructure(ByteView s) {
    if (s.size() < 32) return false;
    if (s.matches(0, "FILE") || s.matches(0, "INDX")) return true;
    if (s.matches(0, "RSTR")) {
        constexpr std::string_view kNtfsUtf16("N\0T\0F\0S\0", 8);
        const std::string_view text(reinterpret_cast<const char*>(s.data()), s.size());
        if (text.find(kNtfsUtf16) != std::string_view::npos) return true;
    }
    if (s.matches(0, std::string_view("$\0S\0T\0A\0", 8))) return true;
    if (s.u8(0) == 0xEB && s.u8(2) == 0x90) {
        for (std::string_view name : {std::string_view("MSDOS5.0"), std::string_view("MSWIN4.0"),
                                      std::string_view("MSWIN4.1"), kNtfsMark.text, kExfatMark.text})
            if (s.matches(3, name)) return true;
    }
    return IsFatDirectorySector(s);
}

}  // namespace kestrune::carve

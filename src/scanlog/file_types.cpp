#include "scanlog/file_types.h"

#include <cinttypes>
#include <cstdio>

namespace kestrune {

const std::string_view PhotoExtensions =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|"
    "*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|"
    "*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm";
const std::string_view AudioExtensions =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|"
    "*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd";
const std::string_view VideoExtensions =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|"
    "*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|"
    "*.mxf|*.lrv";
const std::string_view DocumentExtensions =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|*.html|"
    "*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb";
const std::string_view ArchiveExtensions =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";
const std::string_view ConvertibleExtensions =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

const std::string& KnownExtensionText() {
    static const std::string text = std::string(PhotoExtensions) + "|" + std::string(AudioExtensions) +
                                    "|" + std::string(DocumentExtensions) + "|" +
                                    std::string(VideoExtensions) + "|" + std::string(ArchiveExtensions);
    return text;
}

std::string_view ExtensionOf(std::string_view name) {
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

std::string TypeFolderName(std::string_view name) {
    const std::string extension = AsciiLower(ExtensionOf(name));
    if (extension.empty()) return "others";
    if (ListContains(PhotoExtensions, extension)) return "photo";
    if (ListContains(AudioExtensions, extension)) return "audio";
    if (ListContains(VideoExtensions, extension)) return "video";
    if (ListContains(DocumentExtensions, extension)) return "document";
    if (ListContains(ArchiveExtensions, extension)) return "archive";
    return "others";
}

std::string IconFor(std::string_view typeText, uint32_t contentOk) {
    const std::string type = AsciiLower(typeText);
    if (type == "folder") return "folder.png";
    auto icon = [contentOk](const char* base) {
        return std::string(base) + (contentOk ? ".png" : "_error.png");
    };
    if (type == "exe") return icon("exe");
    if (ListContains(PhotoExtensions, type)) return icon("image");
    if (ListContains(AudioExtensions, type)) return icon("music");
    if (ListContains(DocumentExtensions, type)) return icon("doc");
    if (ListContains(VideoExtensions, type)) return icon("video");
    if (ListContains(ArchiveExtensions, type)) return icon("zip");
    return icon("default");
}

std::string NormaliseExtension(std::string_view extension) {
    std::string normal = AsciiLower(extension);
    if (normal.empty()) return "unknow";
    static const std::pair<std::string_view, std::string_view> kFolded[] = {
        {"jpeg", "jpg"}, {"tiff", "tif"}, {"scr", "pcx"},  {"midi", "mid"}, {"m4p", "m4a"},
        {"docx", "doc"}, {"xlsx", "xls"}, {"pptx", "ppt"}, {"htm", "html"}};
    for (const auto& [from, to] : kFolded)
        if (normal == from) return std::string(to);
    return normal;
}

ExtensionIndex BuildExtensionIndex(const std::vector<ScanRecord>& results) {
    ExtensionIndex index;
    for (const ScanRecord& record : results)
        index[NormaliseExtension(ExtensionOf(RecordName(record)))].push_back(&record);
    return index;
}

std::string BuildSearchPattern(const std::set<std::string>& registered) {
    std::string pattern;
    for (const std::string& extension : registered) {
        if (!pattern.empty()) pattern += "|";
        pattern += "*." + extension;
    }
    if (!pattern.empty()) return pattern;
    return std::string(PhotoExtensions) + "|" + std::string(AudioExtensions) + "|" +
           std::string(VideoExtensions) + "|" + std::string(DocumentExtensions) + "|" +
           std::string(ArchiveExtensions);
}

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
    std::snprintf(text, sizeof text, "%" PRId64 "-%d-%d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

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

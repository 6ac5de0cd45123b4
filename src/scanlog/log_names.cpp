#include "scanlog/log_names.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "base/result_codes.h"

namespace kestrune {

std::string MakeLogName(const char* prefix, uint64_t startSector, const std::tm& t) {
    char text[128];
    std::snprintf(text, sizeof text, "%s%lld_%d%d%d%d%2d", prefix, static_cast<long long>(startSector),
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min);
    return text;
}

std::string MakeLogName(const char* prefix, uint64_t startSector) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return MakeLogName(prefix, startSector, local);
}

int FindLogByPrefix(const std::string& prefix, const std::filesystem::path& folder, std::string& name) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return FromErrno(errno);
    // Linux lists a folder in no useful order, so the matches are taken in name order:
    // a log's main file is a prefix of its "_Relation" and "_DirInfo" companions and so
    // comes before them.
    std::string best;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view entryName(entry->d_name);
        if (entryName.empty() || entryName[0] == '.') continue;
        if (entryName.find(prefix) == std::string_view::npos) continue;
        if (best.empty() || entryName < best) best = entryName;
    }
    ::closedir(dir);
    if (!best.empty()) name = best;
    return kOk;
}

}  // namespace kestrune

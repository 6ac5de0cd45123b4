#include "session/search_pattern.h"

#include <set>
#include <string_view>

#include "scanlog/file_types.h"

namespace kestrune {

std::string SearchPatternFor(const std::vector<std::string>& types, const std::vector<std::string>& extensions,
                             std::string& error) {
    // Nothing chosen means every file, those of no known type too.
    if (types.empty() && extensions.empty())
        return SearchPatternFor({"photo", "audio", "video", "document", "archive", "other"}, {}, error);
    std::set<std::string> registered;
    auto addList = [&registered](std::string_view list) {
        size_t begin = 0;
        while (begin < list.size()) {
            size_t end = list.find('|', begin);
            if (end == std::string_view::npos) end = list.size();
            registered.insert(std::string(list.substr(begin + 2, end - begin - 2)));  // after "*."
            begin = end + 1;
        }
    };
    for (const std::string& type : types) {
        const std::string t = AsciiLower(type);
        if (t == "photo") addList(PhotoExtensions);
        else if (t == "audio") addList(AudioExtensions);
        else if (t == "video") addList(VideoExtensions);
        else if (t == "document") addList(DocumentExtensions);
        else if (t == "archive") addList(ArchiveExtensions);
        else if (t == "other") registered.insert("other");
        else {
            error = "unknown type \"" + type + "\" (photo, audio, video, document, archive, other)";
            return {};
        }
    }
    for (const std::string& extension : extensions) {
        std::string e = AsciiLower(extension);
        if (!e.empty() && e[0] == '.') e.erase(0, 1);
        if (!e.empty()) registered.insert(e);
    }
    return BuildSearchPattern(registered);
}

}  // namespace kestrune

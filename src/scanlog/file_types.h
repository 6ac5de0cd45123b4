// File types: the extension groups that sort found files, and the texts shown for them.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "scanlog/scan_record.h"

namespace kestrune {

// Each list is "*." items joined by "|". Membership is plain containment of text: a
// piece that is part of a longer item also matches (that is how the lists are used
// everywhere, so "p" counts as a photo extension because "*.bmp" holds it).
extern const std::string_view PhotoExtensions;
extern const std::string_view AudioExtensions;
extern const std::string_view VideoExtensions;
extern const std::string_view DocumentExtensions;
extern const std::string_view ArchiveExtensions;
extern const std::string_view ConvertibleExtensions;

// The five groups joined in the order photo, audio, document, video, archive: the text
// the logs test "of no known type" against.
const std::string& KnownExtensionText();

inline bool ListContains(std::string_view list, std::string_view piece) {
    return list.find(piece) != std::string_view::npos;
}

// The text after the last "." of a name ("" when there is none), and its lowercase form.
std::string_view ExtensionOf(std::string_view name);
std::string AsciiLower(std::string_view text);

// "photo", "audio", "video", "document", "archive" or "others", tested in that order.
std::string TypeFolderName(std::string_view name);

// The icon file for a list row: typeText is "folder", the bare extension, or "file".
std::string IconFor(std::string_view typeText, uint32_t contentOk);

// The extension a result is filed under: lowercase, "unknow" when empty, and the nine
// alternative spellings folded onto the extension their file-type option names first.
std::string NormaliseExtension(std::string_view extension);

// Results filed by normalised extension, each list in result order.
using ExtensionIndex = std::map<std::string, std::vector<const ScanRecord*>>;
ExtensionIndex BuildExtensionIndex(const std::vector<ScanRecord>& results);

// The pattern handed to the engines' search: the registered extensions (ascending, as the
// set keeps them; "other" asks for files of no known type), or all five groups.
std::string BuildSearchPattern(const std::set<std::string>& registered);

}  // namespace kestrune

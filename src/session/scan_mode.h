// The three scans a user chooses between.
#pragma once

#include <string_view>

namespace kestrune {

// quick: deleted files through the file system's own metadata. formatted and deep: the
// quick scan, then one pass over the free (or every) sector for the metadata of former
// volumes and for file signatures; the two are the same pass.
enum class ScanMode { Quick, Formatted, Deep };

inline bool ParseScanMode(std::string_view text, ScanMode& mode) {
    if (text == "quick") mode = ScanMode::Quick;
    else if (text == "formatted") mode = ScanMode::Formatted;
    else if (text == "deep") mode = ScanMode::Deep;
    else return false;
    return true;
}

inline const char* ScanModeName(ScanMode mode) {
    switch (mode) {
        case ScanMode::Quick: return "quick";
        case ScanMode::Formatted: return "formatted";
        case ScanMode::Deep: return "deep";
    }
    return "quick";
}

}  // namespace kestrune

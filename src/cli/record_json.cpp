#include "cli/record_json.h"

#include "base/display_text.h"
#include "base/result_codes.h"
#include "session/finding_filter.h"

#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "scanlog/file_types.h"

namespace kestrune::cli {

namespace {

nlohmann::json IsoTime(uint64_t fileTime) {
    if (fileTime == 0) return nullptr;
    return IsoFileTime(fileTime);
}

}  // namespace

const char* EngineKindName(uint32_t engineKind) {
    switch (engineKind) {
        case NtfsQuick: return "NtfsQuick";
        case FatQuick: return "FatQuick";
        case ExfatQuick: return "ExfatQuick";
        case NtfsFormatted: return "NtfsFormatted";
        case FatFormatted: return "FatFormatted";
        case ExfatFormatted: return "ExfatFormatted";
        case ExtQuick: return "ExtQuick";
        case ExtFormatted: return "ExtFormatted";
        case Signature: return "Signature";
        default: return "Unknown";
    }
}

std::string RecordJson(const ScanRecord& record, const std::string& folder, int recoverable, bool layoutGuessed) {
    nlohmann::ordered_json j;
    j["recordId"] = record.recordId;
    j["name"] = std::string(RecordName(record));
    j["folder"] = folder;
    j["size"] = record.fileSize;
    j["engine"] = EngineKindName(record.engineKind);
    j["foundBy"] = FoundByName(FoundByOf(record));
    j["contentOk"] = record.contentOk != 0;
    j["firstLetterGuessed"] = FirstLetterGuessed(record);
    j["existing"] = ExistingFile(record);
    if (recoverable >= 0) j["recoverable"] = recoverable;
    else j["recoverable"] = nullptr;
    if (record.engineKind == Signature) j["endConfirmed"] = !CarvedEndGuessed(record);
    j["layoutGuessed"] = layoutGuessed;
    // Its entry claimed more than its volume holds: the size is cut there, the file not whole.
    j["sizeClipped"] = SizeClipped(record);
    j["encrypted"] = record.contentOk == kContentEncrypted;
    j["isFolder"] = record.isFolder != 0;
    j["created"] = IsoTime(record.createTime);
    j["modified"] = IsoTime(record.writeTime);
    j["accessed"] = IsoTime(record.accessTime);
    j["entrySector"] = record.entrySector;
    j["fsId"] = record.fsId;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string RecoveredJson(const RecoveredFile& file) {
    nlohmann::ordered_json j;
    j["name"] = std::string(RecordName(file.record));
    j["size"] = file.record.fileSize;
    const char* outcome = file.alreadyThere           ? "alreadyThere"
                          : file.result == kOk         ? "written"
                          : file.result == CancelCode  ? "cancelled"
                          : !file.partial.empty()      ? "partial"
                                                       : "failed";
    j["outcome"] = outcome;
    j["target"] = file.target.string();
    if (file.partial.empty()) j["partial"] = nullptr;
    else j["partial"] = file.partial.string();
    j["status"] = file.status;
    j["unreadable"] = nlohmann::ordered_json::array();
    for (const UnreadableRange& range : file.unreadable)
        j["unreadable"].push_back({{"fileOffset", range.fileOffset}, {"length", range.length}});
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace kestrune::cli

#include "cli/list_command.h"

#include <ostream>

#include "cli/exit_codes.h"
#include "cli/record_json.h"
#include "cli/scan_command.h"
#include "cli/scan_session.h"
#include "disk/result_codes.h"
#include "scanlog/file_types.h"

namespace kestrune::cli {

int RunList(const ListOptions& options, std::ostream& out, std::ostream& err) {
    std::string error;
    // Without a choice every file is listed, those of no known type too.
    const bool everything = options.types.empty() && options.extensions.empty();
    const std::string pattern =
        everything ? SearchPatternFor({"photo", "audio", "video", "document", "archive", "other"}, {}, error)
                   : SearchPatternFor(options.types, options.extensions, error);
    if (!error.empty()) {
        err << "kestrune: " << error << "\n";
        return kExitUsage;
    }
    ScanSession session;
    if (int code = ReopenScan(options.scanFolder, session, err); code != kExitOk) return code;
    std::vector<ScanRecord> found;
    if (int rc = session.engine->SearchByExtension(pattern, found); rc != kOk) {
        err << "kestrune: the search failed: " << ResultText(rc) << "\n";
        return kExitSourceError;
    }
    for (const ScanRecord& record : found) {
        std::string folder;
        session.engine->GetRecordPath(record, folder);
        if (options.json) {
            if (!folder.empty() && folder.back() == '/') folder.pop_back();
            out << RecordJson(record, folder) << "\n";
        } else {
            out << folder << RecordName(record) << "\t" << FormatSize(record.fileSize)
                << (record.contentOk ? "" : "\t(content overwritten)") << "\n";
        }
    }
    (options.json ? err : out) << found.size() << " files in " << session.runFolder << " ("
                               << session.source.text << ")\n";
    return kExitOk;
}

}  // namespace kestrune::cli

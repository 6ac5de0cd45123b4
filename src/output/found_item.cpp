#include "output/found_item.h"

#include <deque>
#include <set>
#include <utility>

#include "base/result_codes.h"
#include "disk/link_free_paths.h"
#include "output/found_names.h"
#include "output/work_file.h"

namespace fs = std::filesystem;

namespace kestrune {

int CreateParentFolder(const fs::path& target) {
    const fs::path parent = target.parent_path();
    if (parent.empty()) return kOk;
    return CreateFoldersWithoutLinks(parent);
}

int RecoverFoundItem(const ScanRecord& record, const fs::path& target, const WriteFileFn& writeFile,
                     const ChildrenFn& children) {
    if (!record.isFolder) {
        if (int rc = CreateParentFolder(target); rc != kOk) return rc;
        return writeFile(record, target);
    }
    if (int rc = CreateFoldersWithoutLinks(target); rc != kOk) return rc;
    const NameRules rules = NameRulesFor(target);
    std::deque<std::pair<ScanRecord, fs::path>> pending{{record, target}};
    int result = kOk;
    size_t walked = 0;
    // A damaged log could file a folder under itself; the walk visits each folder once.
    std::set<uint32_t> seen{record.recordId};
    while (!pending.empty()) {
        auto [folder, path] = pending.front();
        pending.pop_front();
        std::vector<ScanRecord> list;
        children(folder, list);
        for (const ScanRecord& child : list) {
            const fs::path childPath = path / SafeFileName(RecordNameOnDisk(child), rules);
            if (child.isFolder) {
                const fs::path folderPath = UniqueTargetPath(childPath);
                if (CreateFoldersWithoutLinks(folderPath) == kOk && seen.insert(child.recordId).second)
                    pending.emplace_back(child, folderPath);
                continue;
            }
            WrittenFile written;
            result = WriteThroughWorkFile(childPath, child.fileSize,
                                          [&](const fs::path& work) { return writeFile(child, work); }, written);
            if (result == CancelCode) return CancelCode;
        }
        if (++walked > 1000000) break;
    }
    return result;
}

}  // namespace kestrune

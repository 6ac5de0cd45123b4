#include "ui/result_index.h"

#include "session/finding_filter.h"

#include <QStringList>
#include <algorithm>
#include <map>
#include <unordered_map>

#include "scanlog/file_types.h"
#include "ui/target.h"

namespace kestrune::ui {

namespace {

// "a/b/" into the folder tree below root, made once per distinct path.
class FolderBuilder {
public:
    explicit FolderBuilder(std::vector<FolderNode>& nodes) : nodes_(nodes) {}

    uint32_t Root(const QString& name) {
        nodes_.push_back({name, kNoNode, 0, {}, {}});
        known_.clear();
        return static_cast<uint32_t>(nodes_.size() - 1);
    }
    uint32_t FolderOf(uint32_t root, const QString& path) {
        if (path.isEmpty()) return root;
        if (auto it = known_.find(path); it != known_.end()) return it->second;
        uint32_t node = root;
        for (const QString& part : path.split('/', Qt::SkipEmptyParts)) node = Child(node, part);
        known_.emplace(path, node);
        return node;
    }

private:
    uint32_t Child(uint32_t parent, const QString& name) {
        auto& named = children_[parent];
        if (auto it = named.find(name); it != named.end()) return it->second;
        nodes_.push_back({name, parent, 0, {}, {}});
        const auto node = static_cast<uint32_t>(nodes_.size() - 1);
        nodes_[parent].children.push_back(node);
        named.emplace(name, node);
        return node;
    }

    std::vector<FolderNode>& nodes_;
    std::unordered_map<QString, uint32_t> known_;
    std::unordered_map<uint32_t, std::map<QString, uint32_t>> children_;
};

}  // namespace

ResultIndex IndexFindings(const Findings& findings) {
    ResultIndex index;
    std::map<std::string, std::vector<FoundRef>> byExtension;
    std::vector<std::vector<std::string>> extensionNames(findings.size());
    FolderBuilder folders(index.folders);
    index.folderOf.resize(findings.size());
    for (uint32_t f = 0; f < findings.size(); ++f) {
        const TargetFindings& found = findings[f];
        const uint32_t root = folders.Root(found.target ? found.target->DisplayName() : QString());
        index.folderRoots.push_back(root);
        index.folderOf[f].resize(found.records.size());
        for (uint32_t r = 0; r < found.records.size(); ++r) {
            byExtension[NormaliseExtension(ExtensionOf(RecordName(found.records[r])))].push_back({f, r});
            const uint32_t folder = folders.FolderOf(root, r < found.folders.size() ? found.folders[r] : QString());
            index.folderOf[f][r] = folder;
            index.folders[folder].files.push_back({f, r});
        }
    }
    // Children in name order, as a file manager lists them.
    for (FolderNode& node : index.folders) {
        std::sort(node.children.begin(), node.children.end(), [&](uint32_t a, uint32_t b) {
            return QString::compare(index.folders[a].name, index.folders[b].name, Qt::CaseInsensitive) < 0;
        });
        for (uint32_t row = 0; row < node.children.size(); ++row) index.folders[node.children[row]].row = row;
    }
    for (uint32_t row = 0; row < index.folderRoots.size(); ++row) index.folders[index.folderRoots[row]].row = row;
    index.extensionOf.resize(findings.size());
    for (uint32_t f = 0; f < findings.size(); ++f) index.extensionOf[f].resize(findings[f].records.size());
    for (auto& [extension, refs] : byExtension) {
        const auto position = static_cast<uint32_t>(index.extensions.size());
        for (const FoundRef& ref : refs) index.extensionOf[ref.findings][ref.record] = position;
        index.extensions.push_back(extension);
        index.byExtension.push_back(std::move(refs));
    }
    return index;
}

}  // namespace kestrune::ui

#include "ui/result_ticks.h"

namespace kestrune::ui {

void ResultTicks::Reset(const Findings& findings, const ResultIndex& index) {
    findings_ = &findings;
    index_ = &index;
    ticked_.Reset(findings);
    filter_ = {};
    shown_.clear();
    for (const TargetFindings& found : findings) shown_.emplace_back(found.records.size(), 1);
    extensions_.assign(index.extensions.size(), {});
    folders_.assign(index.folders.size(), {});
    all_ = {};
    for (const TargetFindings& found : findings) all_.shown += found.records.size();
    for (uint32_t e = 0; e < index.byExtension.size(); ++e) extensions_[e].shown = index.byExtension[e].size();
    for (uint32_t f = 0; f < findings.size(); ++f)
        for (uint32_t r = 0; r < findings[f].records.size(); ++r)
            for (uint32_t node = index.folderOf[f][r]; node != kNoNode; node = index.folders[node].parent)
                ++folders_[node].shown;
}

void ResultTicks::SetFilter(const FindingFilter& filter) {
    filter_ = filter;
    if (!findings_) return;
    for (uint32_t f = 0; f < findings_->size(); ++f) {
        const auto& records = (*findings_)[f].records;
        for (uint32_t r = 0; r < records.size(); ++r) {
            const bool shown = filter.Matches(records[r], (*findings_)[f].RecoverableOf(r));
            if (shown == bool(shown_[f][r])) continue;
            shown_[f][r] = shown;
            Count({f, r}, shown ? 1 : -1, ticked_.Has({f, r}) ? (shown ? 1 : -1) : 0);
        }
    }
}

void ResultTicks::Count(const FoundRef& ref, int shownDelta, int tickedDelta) {
    all_.shown += shownDelta;
    all_.ticked += tickedDelta;
    NodeCount& extension = extensions_[index_->ExtensionOf(ref)];
    extension.shown += shownDelta;
    extension.ticked += tickedDelta;
    for (uint32_t node = index_->FolderOf(ref); node != kNoNode; node = index_->folders[node].parent) {
        folders_[node].shown += shownDelta;
        folders_[node].ticked += tickedDelta;
    }
}

void ResultTicks::Tick(const FoundRef& ref, bool ticked) {
    if (!findings_ || ticked_.Has(ref) == ticked) return;
    ticked_.Set(ref, ticked, (*findings_)[ref.findings].records[ref.record].fileSize);
    if (Shown(ref)) Count(ref, 0, ticked ? 1 : -1);
}

void ResultTicks::TickShown(const std::vector<FoundRef>& refs, bool ticked) {
    for (const FoundRef& ref : refs)
        if (Shown(ref)) Tick(ref, ticked);
}

void ResultTicks::TickAllShown(bool ticked) {
    if (!findings_) return;
    for (uint32_t f = 0; f < findings_->size(); ++f)
        for (uint32_t r = 0; r < (*findings_)[f].records.size(); ++r)
            if (shown_[f][r]) Tick({f, r}, ticked);
}

std::vector<FoundRef> ResultTicks::ShownOf(const std::vector<FoundRef>& refs) const {
    if (filter_.Empty()) return refs;
    std::vector<FoundRef> out;
    for (const FoundRef& ref : refs)
        if (Shown(ref)) out.push_back(ref);
    return out;
}

std::vector<FoundRef> ResultTicks::FilesBelow(uint32_t folder) const {
    std::vector<FoundRef> out;
    std::vector<uint32_t> pending{folder};
    while (!pending.empty()) {
        const FolderNode& node = index_->folders[pending.back()];
        pending.pop_back();
        out.insert(out.end(), node.files.begin(), node.files.end());
        pending.insert(pending.end(), node.children.rbegin(), node.children.rend());
    }
    return out;
}

}  // namespace kestrune::ui

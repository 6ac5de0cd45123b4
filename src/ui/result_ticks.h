// Which found files are ticked and which pass the filter, with the counts each node of the
// type and folder views needs for its check box: kept as ticks change, so that a tick or
// a node's state costs no walk through a million files.
#pragma once

#include <Qt>
#include <vector>

#include "ui/found_files.h"
#include "session/finding_filter.h"
#include "ui/result_index.h"

namespace kestrune::ui {

struct NodeCount {
    uint64_t shown = 0, ticked = 0;
    Qt::CheckState State() const {
        return ticked == 0 ? Qt::Unchecked : ticked == shown ? Qt::Checked : Qt::PartiallyChecked;
    }
    NodeCount& operator+=(const NodeCount& other) {
        shown += other.shown;
        ticked += other.ticked;
        return *this;
    }
};

class ResultTicks {
public:
    ResultTicks(TickedFiles& ticked) : ticked_(ticked) {}

    // Forgets every tick; every file is shown.
    void Reset(const Findings& findings, const ResultIndex& index);
    // Shows only the files filter accepts; ticks stay, hidden ones included.
    void SetFilter(const FindingFilter& filter);
    const FindingFilter& filter() const { return filter_; }

    bool Shown(const FoundRef& ref) const { return shown_[ref.findings][ref.record]; }
    bool Ticked(const FoundRef& ref) const { return ticked_.Has(ref); }
    void Tick(const FoundRef& ref, bool ticked);
    // Ticks or unticks the shown files among refs.
    void TickShown(const std::vector<FoundRef>& refs, bool ticked);
    // Every file the filter shows, and how many of them are ticked.
    const NodeCount& All() const { return all_; }
    // Ticks or unticks every file the filter shows.
    void TickAllShown(bool ticked);
    // The files of an extension or a folder (and all below it) that are shown and ticked.
    const NodeCount& OfExtension(uint32_t extension) const { return extensions_[extension]; }
    const NodeCount& OfFolder(uint32_t folder) const { return folders_[folder]; }
    // The shown files of refs, in their order.
    std::vector<FoundRef> ShownOf(const std::vector<FoundRef>& refs) const;
    // Every file in folder and the folders below it.
    std::vector<FoundRef> FilesBelow(uint32_t folder) const;
    const TickedFiles& ticked() const { return ticked_; }

private:
    void Count(const FoundRef& ref, int shownDelta, int tickedDelta);

    TickedFiles& ticked_;
    const Findings* findings_ = nullptr;
    const ResultIndex* index_ = nullptr;
    FindingFilter filter_;
    std::vector<std::vector<uint8_t>> shown_;
    std::vector<NodeCount> extensions_, folders_;
    NodeCount all_;
};

}  // namespace kestrune::ui

// The folder view of the results: the folders the found files were found in, below one
// top row per scanned target, each with its shown-file count and a check box that ticks
// every shown file below it.
#pragma once

#include <QAbstractItemModel>

#include "ui/result_index.h"
#include "ui/result_ticks.h"

namespace kestrune::ui {

class FolderTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit FolderTreeModel(QObject* parent = nullptr) : QAbstractItemModel(parent) {}

    // Shows index's folders (null: none). index and ticks outlive the model's use of them.
    void SetIndex(const ResultIndex* index, ResultTicks* ticks);
    // Counts and check boxes changed (a tick, a filter): repaint every row.
    void Refresh();
    uint32_t FolderAt(const QModelIndex& index) const {
        return index.isValid() ? static_cast<uint32_t>(index.internalId()) : kNoNode;
    }
    QModelIndex IndexOf(uint32_t folder) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& = {}) const override { return 1; }
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    void tickedChanged();

private:
    const std::vector<uint32_t>& ChildrenOf(uint32_t folder) const {
        return folder == kNoNode ? index_->folderRoots : index_->folders[folder].children;
    }
    const ResultIndex* index_ = nullptr;
    ResultTicks* ticks_ = nullptr;
};

}  // namespace kestrune::ui

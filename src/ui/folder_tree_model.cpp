#include "ui/folder_tree_model.h"

#include <QIcon>

namespace kestrune::ui {

void FolderTreeModel::SetIndex(const ResultIndex* index, ResultTicks* ticks) {
    beginResetModel();
    index_ = index;
    ticks_ = ticks;
    endResetModel();
}

void FolderTreeModel::Refresh() {
    if (!index_) return;
    // Every row of every level: the view asks again only for the rows it paints.
    emit layoutAboutToBeChanged();
    emit layoutChanged();
}

QModelIndex FolderTreeModel::IndexOf(uint32_t folder) const {
    if (!index_ || folder == kNoNode || folder >= index_->folders.size()) return {};
    return createIndex(static_cast<int>(index_->folders[folder].row), 0, quintptr(folder));
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (!index_ || column != 0 || row < 0) return {};
    const auto& children = ChildrenOf(FolderAt(parent));
    return row < static_cast<int>(children.size()) ? createIndex(row, 0, quintptr(children[row])) : QModelIndex();
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
    if (!index_ || !child.isValid()) return {};
    return IndexOf(index_->folders[FolderAt(child)].parent);
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
    if (!index_ || parent.column() > 0) return 0;
    return static_cast<int>(ChildrenOf(FolderAt(parent)).size());
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
    if (!index_ || !index.isValid()) return {};
    const uint32_t folder = FolderAt(index);
    const NodeCount& count = ticks_->OfFolder(folder);
    switch (role) {
        case Qt::DisplayRole: return QString("%1 (%2)").arg(index_->folders[folder].name).arg(count.shown);
        case Qt::ToolTipRole: return index_->folders[folder].name;
        case Qt::CheckStateRole: return count.State();
        case Qt::DecorationRole:
            return QIcon(index_->folders[folder].parent == kNoNode ? ":/skin/drive.svg" : ":/skin/folder.svg");
        default: return {};
    }
}

bool FolderTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index_ || !index.isValid() || role != Qt::CheckStateRole) return false;
    ticks_->TickShown(ticks_->FilesBelow(FolderAt(index)), value.toInt() == Qt::Checked);
    Refresh();
    emit tickedChanged();
    return true;
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

}  // namespace kestrune::ui

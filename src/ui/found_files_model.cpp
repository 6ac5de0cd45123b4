#include "ui/found_files_model.h"

#include <QIcon>

#include "scanlog/file_types.h"
#include "ui/texts.h"

namespace kestrune::ui {

TypeIndex IndexByType(const Findings& findings) {
    TypeIndex index;
    for (uint32_t f = 0; f < findings.size(); ++f) {
        const auto& records = findings[f].records;
        for (uint32_t r = 0; r < records.size(); ++r) {
            const std::string_view name = RecordName(records[r]);
            index[TypeFolderName(name)][NormaliseExtension(ExtensionOf(name))].push_back({f, r});
        }
    }
    return index;
}

FoundFilesModel::FoundFilesModel(const Findings& findings, TickedFiles& ticked, QObject* parent)
    : QAbstractTableModel(parent), findings_(findings), ticked_(ticked) {
    Retranslate();
}

void FoundFilesModel::Retranslate() {
    headers_ = {Text("MainWnd", "FileName"), Text("MainWnd", "Size"), Text("MainWnd", "ModifiedTime"),
                Text("MainWnd", "CreatedTime"), Text("MainWnd", "Path"), Text("MainWnd", "Type")};
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

void FoundFilesModel::SetRows(std::vector<FoundRef> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void FoundFilesModel::TickAll(bool ticked) {
    for (const FoundRef& ref : rows_) ticked_.Set(ref, ticked, RecordOf(ref).fileSize);
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
    emit tickedChanged();
}

const ScanRecord& FoundFilesModel::RecordOf(const FoundRef& ref) const {
    return findings_[ref.findings].records[ref.record];
}

int FoundFilesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FoundFilesModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant FoundFilesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const FoundRef& ref = rows_[index.row()];
    const ScanRecord& record = RecordOf(ref);
    if (role == Qt::CheckStateRole && index.column() == FileName)
        return ticked_.Has(ref) ? Qt::Checked : Qt::Unchecked;
    if (role == Qt::DecorationRole && index.column() == FileName)
        return QIcon(record.isFolder ? ":/skin/folder.svg" : ":/skin/file.svg");
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    const std::string_view name = RecordName(record);
    switch (index.column()) {
        case FileName: return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
        case Size: return SizeText(record.fileSize);
        case ModifiedTime: return record.writeTime ? QString::fromStdString(FormatFileTime(record.writeTime)) : QString();
        case CreatedTime: return record.createTime ? QString::fromStdString(FormatFileTime(record.createTime)) : QString();
        case Path: return findings_[ref.findings].folders[ref.record];
        case Type: return QString::fromStdString(NormaliseExtension(ExtensionOf(name))).toUpper();
        default: return {};
    }
}

bool FoundFilesModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || index.column() != FileName) return false;
    const FoundRef& ref = rows_[index.row()];
    ticked_.Set(ref, value.toInt() == Qt::Checked, RecordOf(ref).fileSize);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit tickedChanged();
    return true;
}

Qt::ItemFlags FoundFilesModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.column() == FileName) flags |= Qt::ItemIsUserCheckable;
    return flags;
}

QVariant FoundFilesModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < headers_.size()) return headers_[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

}  // namespace kestrune::ui

#include "ui/found_files_model.h"

#include <QIcon>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <strings.h>

#include "base/display_text.h"
#include "scanlog/file_types.h"
#include "ui/texts.h"

namespace kestrune::ui {

// Carved files are named by their first sector: their numbers sort by value.
int CompareNames(std::string_view a, std::string_view b) {
    if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : a.empty() ? -1 : 1;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t x = i, y = j;
            while (x < a.size() && a[x] == '0') ++x;
            while (y < b.size() && b[y] == '0') ++y;
            size_t xe = x, ye = y;
            while (xe < a.size() && digit(a[xe])) ++xe;
            while (ye < b.size() && digit(b[ye])) ++ye;
            if (xe - x != ye - y) return xe - x < ye - y ? -1 : 1;
            if (const int c = a.compare(x, xe - x, b, y, ye - y); c != 0) return c < 0 ? -1 : 1;
            i = xe;
            j = ye;
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i])), cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return j < b.size() ? -1 : 1;
    // Equal but for case or leading zeros: still one order.
    const int c = a.compare(b);
    return c == 0 ? 0 : c < 0 ? -1 : 1;
}

namespace {

const ScanRecord& Record(const Findings& findings, const FoundRef& ref) {
    return findings[ref.findings].records[ref.record];
}

// -1, 0 or 1 with an empty text first.
int CompareTexts(std::string_view a, std::string_view b) {
    if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : a.empty() ? -1 : 1;
    const int c = ::strncasecmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

int Compare(const Findings& findings, const FoundRef& a, const FoundRef& b, int column) {
    const ScanRecord& ra = Record(findings, a);
    const ScanRecord& rb = Record(findings, b);
    const auto numbers = [](uint64_t x, uint64_t y) { return x == y ? 0 : x < y ? -1 : 1; };
    switch (column) {
        case FoundFilesModel::Size:
            if (bool(ra.isFolder) != bool(rb.isFolder)) return ra.isFolder ? -1 : 1;
            return ra.isFolder ? 0 : numbers(ra.fileSize, rb.fileSize);
        // A time of 0 has no text and sorts first, like an empty text.
        case FoundFilesModel::ModifiedTime: return numbers(ra.writeTime, rb.writeTime);
        case FoundFilesModel::CreatedTime: return numbers(ra.createTime, rb.createTime);
        case FoundFilesModel::Path: {
            const QString& fa = findings[a.findings].folders[a.record];
            const QString& fb = findings[b.findings].folders[b.record];
            if (fa.isEmpty() || fb.isEmpty()) return fa.isEmpty() == fb.isEmpty() ? 0 : fa.isEmpty() ? -1 : 1;
            return QString::compare(fa, fb, Qt::CaseInsensitive);
        }
        case FoundFilesModel::Type:
            return CompareTexts(ra.isFolder ? "folder" : ExtensionOf(RecordName(ra)),
                                rb.isFolder ? "folder" : ExtensionOf(RecordName(rb)));
        case FoundFilesModel::Recoverable: {
            const int x = findings[a.findings].RecoverableOf(a.record), y = findings[b.findings].RecoverableOf(b.record);
            return x == y ? 0 : x < y ? -1 : 1;
        }
        default: return CompareNames(RecordName(ra), RecordName(rb));
    }
}

// The icon of the file's type group, as its type tree node shows it.
QIcon IconOf(const ScanRecord& record) {
    static const std::map<std::string, QIcon> icons = {
        {"photo", QIcon(":/skin/type_photo.svg")},       {"audio", QIcon(":/skin/type_audio.svg")},
        {"video", QIcon(":/skin/type_video.svg")},       {"document", QIcon(":/skin/type_document.svg")},
        {"archive", QIcon(":/skin/type_archive.svg")},   {"others", QIcon(":/skin/type_other.svg")}};
    static const QIcon folder(":/skin/folder.svg");
    if (record.isFolder) return folder;
    const auto it = icons.find(TypeFolderName(RecordName(record)));
    return it == icons.end() ? icons.at("others") : it->second;
}

}  // namespace

bool SortsBefore(const Findings& findings, const FoundRef& a, const FoundRef& b, int column) {
    return Compare(findings, a, b, column) < 0;
}

FoundFilesModel::FoundFilesModel(const Findings& findings, ResultTicks& ticks, QObject* parent)
    : QAbstractTableModel(parent), findings_(findings), ticks_(ticks) {
    Retranslate();
}

void FoundFilesModel::Retranslate() {
    headers_ = {Text("MainWnd", "FileName"),     Text("MainWnd", "Size"),        Text("MainWnd", "Recoverable"),
                Text("MainWnd", "ModifiedTime"), Text("MainWnd", "CreatedTime"), Text("MainWnd", "Path"),
                Text("MainWnd", "Type")};
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

void FoundFilesModel::SetRows(std::vector<FoundRef> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    Sort();
    endResetModel();
}

void FoundFilesModel::HeaderClicked(int column) {
    if (column < 0 || column >= ColumnCount) return;
    int& direction = directions_[column];
    if (direction == 0) direction = column == FileName || column == Type || column == Path ? 1 : -1;
    else direction = -direction;
    sortColumn_ = column;
    beginResetModel();
    Sort();
    endResetModel();
}

void FoundFilesModel::Sort() {
    if (sortColumn_ < 0) return;
    const int column = sortColumn_;
    if (directions_[column] > 0)
        std::stable_sort(rows_.begin(), rows_.end(),
                         [&](const FoundRef& a, const FoundRef& b) { return Compare(findings_, a, b, column) < 0; });
    else
        std::stable_sort(rows_.begin(), rows_.end(),
                         [&](const FoundRef& a, const FoundRef& b) { return Compare(findings_, b, a, column) < 0; });
}

void FoundFilesModel::TickAll(bool ticked) {
    ticks_.TickShown(rows_, ticked);
    RefreshTicks();
    emit tickedChanged();
}

void FoundFilesModel::RefreshTicks() {
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}

const ScanRecord& FoundFilesModel::RecordOf(const FoundRef& ref) const { return Record(findings_, ref); }

int FoundFilesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FoundFilesModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant FoundFilesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const FoundRef& ref = rows_[index.row()];
    const ScanRecord& record = RecordOf(ref);
    if (role == Qt::CheckStateRole && index.column() == FileName)
        return ticks_.Ticked(ref) ? Qt::Checked : Qt::Unchecked;
    if (role == Qt::DecorationRole && index.column() == FileName) return IconOf(record);
    if (role == Qt::TextAlignmentRole && index.column() == Size)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    const int recoverable = findings_[ref.findings].RecoverableOf(ref.record);
    if (index.column() == Recoverable && CarvedEndGuessed(record)) {
        if (role == Qt::DecorationRole) return QIcon(":/skin/mark_partial.svg");
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return Text("MainWnd", "TxtEndGuessed");
    }
    if (index.column() == Recoverable && recoverable > 0 && findings_[ref.findings].LayoutGuessed(ref.record)) {
        if (role == Qt::DecorationRole) return QIcon(":/skin/mark_partial.svg");
        if (role == Qt::DisplayRole) return QStringLiteral("%1 % ").arg(recoverable) + Text("MainWnd", "TxtLayoutGuessed");
        if (role == Qt::ToolTipRole) return Text("MainWnd", "TxtLayoutGuessedTip");
    }
    if (index.column() == Recoverable && ExistingFile(record) && recoverable > 0) {
        if (role == Qt::DecorationRole) return QIcon(":/skin/mark_good.svg");
        if (role == Qt::DisplayRole) return QStringLiteral("%1 % ").arg(recoverable) + Text("MainWnd", "TxtExisting");
        if (role == Qt::ToolTipRole) return Text("MainWnd", "TxtExistingTip");
    }
    if (index.column() == Recoverable && recoverable >= 0 && !record.isFolder) {
        // A mark as well as a number: green whole, amber in part, red gone.
        if (role == Qt::DecorationRole)
            return QIcon(recoverable == 100 ? ":/skin/mark_good.svg"
                         : recoverable > 0  ? ":/skin/mark_partial.svg"
                                            : ":/skin/mark_overwritten.svg");
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return QStringLiteral("%1 % ").arg(recoverable) +
                   Text("MainWnd", recoverable == 100 ? "TxtGood" : recoverable > 0 ? "TxtPartial" : "TxtOverwritten");
    }
    // What carving cannot know says why it is not shown.
    if (role == Qt::ToolTipRole && record.engineKind == Signature) {
        if ((index.column() == ModifiedTime && !record.writeTime) || (index.column() == CreatedTime && !record.createTime))
            return Text("MainWnd", "TxtCarvedNoDateTip");
        if (index.column() == Recoverable && recoverable < 0) return Text("MainWnd", "TxtCarvedNoShareTip");
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    const std::string_view name = RecordName(record);
    if (role == Qt::ToolTipRole && index.column() == FileName && FirstLetterGuessed(record))
        return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())) + "\n" +
               Text("MainWnd", "TxtFirstLetterGuessedTip");
    switch (index.column()) {
        case FileName: return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
        case Size: return record.isFolder ? QString() : SizeText(record.fileSize);
        case ModifiedTime: return record.writeTime ? QString::fromStdString(FormatFileTime(record.writeTime)) : QString();
        case CreatedTime: return record.createTime ? QString::fromStdString(FormatFileTime(record.createTime)) : QString();
        case Path: return findings_[ref.findings].folders[ref.record];
        case Type: {
            if (record.isFolder) return QStringLiteral("folder");
            const std::string_view extension = ExtensionOf(name);
            return extension.empty() ? QStringLiteral("file")
                                     : QString::fromUtf8(extension.data(), static_cast<qsizetype>(extension.size()));
        }
        default: return {};
    }
}

bool FoundFilesModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || index.column() != FileName || index.row() >= rowCount()) return false;
    ticks_.Tick(rows_[index.row()], value.toInt() == Qt::Checked);
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

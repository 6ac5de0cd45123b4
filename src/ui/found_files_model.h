// The file list's rows: references to found records (never copies), with a tick each,
// sorted by a header the way the list's user expects.
#pragma once

#include <QAbstractTableModel>
#include <string_view>
#include <vector>

#include "ui/found_files.h"
#include "ui/result_ticks.h"

namespace kestrune::ui {

// -1, 0 or 1: names as people read them, the numbers in them by value ("f998.jpg" before
// "f1002.jpg") and without regard to case; an empty name first.
int CompareNames(std::string_view a, std::string_view b);

class FoundFilesModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { FileName, Size, Recoverable, ModifiedTime, CreatedTime, Path, Type, ColumnCount };

    FoundFilesModel(const Findings& findings, ResultTicks& ticks, QObject* parent = nullptr);

    // Shows these rows (one node's files), in the current sort order.
    void SetRows(std::vector<FoundRef> rows);
    const std::vector<FoundRef>& rows() const { return rows_; }
    // Ticks or unticks every row shown.
    void TickAll(bool ticked);
    // The ticks changed elsewhere (a node's check box): repaint the check boxes.
    void RefreshTicks();
    void Retranslate();

    // A click on a header: the first click sorts names and types ascending, sizes and
    // times descending (the newest, the largest first); each further click reverses.
    void HeaderClicked(int column);
    int sortColumn() const { return sortColumn_; }
    Qt::SortOrder sortOrder() const {
        return sortColumn_ >= 0 && directions_[sortColumn_] < 0 ? Qt::DescendingOrder : Qt::AscendingOrder;
    }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    void tickedChanged();

private:
    const ScanRecord& RecordOf(const FoundRef& ref) const;
    void Sort();

    const Findings& findings_;
    ResultTicks& ticks_;
    std::vector<FoundRef> rows_;
    QStringList headers_;
    int sortColumn_ = -1;
    int directions_[ColumnCount] = {};  // 1 ascending, -1 descending, 0 never sorted
};

// The sort order of the file list: whether a sorts before b by column, ascending.
// Sizes put folders before files; times compare as times; the other columns compare
// their texts without case; an empty text sorts first.
bool SortsBefore(const Findings& findings, const FoundRef& a, const FoundRef& b, int column);

}  // namespace kestrune::ui

// The file list's rows: references to found records (never copies), with a tick each.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "ui/found_files.h"

namespace kestrune::ui {

class FoundFilesModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { FileName, Size, ModifiedTime, CreatedTime, Path, Type, ColumnCount };

    FoundFilesModel(const Findings& findings, TickedFiles& ticked, QObject* parent = nullptr);

    // Shows these rows (one type node's files).
    void SetRows(std::vector<FoundRef> rows);
    const std::vector<FoundRef>& rows() const { return rows_; }
    // Ticks or unticks every row shown.
    void TickAll(bool ticked);
    void Retranslate();

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
    const Findings& findings_;
    TickedFiles& ticked_;
    std::vector<FoundRef> rows_;
    QStringList headers_;
};

}  // namespace kestrune::ui

// The bar above the file list that narrows it: name contains, size at least / at most,
// modified between two dates, deleted files only, how much must be left of a file. Every
// change is reported once the typing pauses.
#pragma once

#include <QTimer>
#include <QWidget>
#include <optional>

#include "session/finding_filter.h"
#include "ui/result_index.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;
class QPushButton;

namespace kestrune::ui {

class FilterBar : public QWidget {
    Q_OBJECT
public:
    explicit FilterBar(QWidget* parent = nullptr);
    FindingFilter filter() const;
    void Clear();
    void Retranslate();

signals:
    void changed();

private:
    QLineEdit* name_;
    QLineEdit* minSize_;
    QLineEdit* maxSize_;
    QDateEdit* from_;
    QDateEdit* to_;
    QCheckBox* deletedOnly_;
    QComboBox* recoverable_;
    QPushButton* clear_;
    QTimer pause_;
};

// "250", "100 KB", "1.5M", "2 GiB" as bytes (units of 1,024); nothing for an empty or
// unreadable text.
std::optional<uint64_t> ParseSizeText(const QString& text);

}  // namespace kestrune::ui

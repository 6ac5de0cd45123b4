#include "ui/filter_bar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimeZone>

#include "session/finding_filter.h"
#include "ui/texts.h"

namespace kestrune::ui {

namespace {

// FILETIME of the start of a local day (100-ns units since 1601).
uint64_t FileTimeOf(const QDate& day) {
    const qint64 ms = day.startOfDay().toMSecsSinceEpoch();
    return static_cast<uint64_t>((ms + 11644473600000LL) * 10000);
}

QDateEdit* DateEdit(QWidget* parent, const char* name) {
    auto* edit = new QDateEdit(parent);
    edit->setObjectName(name);
    edit->setCalendarPopup(true);
    edit->setMinimumDate(QDate(1980, 1, 1));
    edit->setDate(edit->minimumDate());  // the minimum shows the "any" text: no bound
    edit->setDisplayFormat("yyyy-MM-dd");
    return edit;
}

}  // namespace

std::optional<uint64_t> ParseSizeText(const QString& text) {
    uint64_t bytes = 0;
    if (!kestrune::ParseSizeText(text.toStdString(), bytes)) return std::nullopt;
    return bytes;
}

FilterBar::FilterBar(QWidget* parent) : QWidget(parent) {
    setObjectName("FilterBar");
    // Two rows, so that every field keeps room for its text beside a narrow list.
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    name_ = new QLineEdit(this);
    name_->setObjectName("FilterName");
    name_->setClearButtonEnabled(true);
    minSize_ = new QLineEdit(this);
    minSize_->setObjectName("FilterMinSize");
    maxSize_ = new QLineEdit(this);
    maxSize_->setObjectName("FilterMaxSize");
    from_ = DateEdit(this, "FilterFrom");
    to_ = DateEdit(this, "FilterTo");
    deletedOnly_ = new QCheckBox(this);
    deletedOnly_->setObjectName("FilterDeletedOnly");
    recoverable_ = new QComboBox(this);
    recoverable_->setObjectName("FilterRecoverable");
    recoverable_->addItems({QString(), QString(), QString()});
    clear_ = new QPushButton(this);
    clear_->setObjectName("FilterClear");
    layout->addWidget(name_, 0, 0, 1, 2);
    layout->addWidget(minSize_, 0, 2);
    layout->addWidget(maxSize_, 0, 3);
    layout->addWidget(from_, 1, 0);
    layout->addWidget(to_, 1, 1);
    layout->addWidget(clear_, 1, 2, 1, 2);
    layout->addWidget(deletedOnly_, 2, 0);
    layout->addWidget(recoverable_, 2, 1, 1, 3);
    layout->setColumnStretch(0, 2);
    layout->setColumnStretch(1, 2);
    layout->setColumnStretch(2, 1);
    layout->setColumnStretch(3, 1);

    pause_.setSingleShot(true);
    pause_.setInterval(300);
    connect(&pause_, &QTimer::timeout, this, &FilterBar::changed);
    for (QLineEdit* edit : {name_, minSize_, maxSize_})
        connect(edit, &QLineEdit::textChanged, &pause_, qOverload<>(&QTimer::start));
    for (QDateEdit* edit : {from_, to_}) connect(edit, &QDateEdit::dateChanged, &pause_, qOverload<>(&QTimer::start));
    connect(deletedOnly_, &QCheckBox::toggled, this, &FilterBar::changed);
    connect(recoverable_, &QComboBox::currentIndexChanged, this, &FilterBar::changed);
    connect(clear_, &QPushButton::clicked, this, &FilterBar::Clear);
    Retranslate();
}

void FilterBar::Retranslate() {
    name_->setPlaceholderText(Text("MainWnd", "FilterName"));
    minSize_->setPlaceholderText(Text("MainWnd", "FilterMinSize"));
    maxSize_->setPlaceholderText(Text("MainWnd", "FilterMaxSize"));
    from_->setSpecialValueText(Text("MainWnd", "FilterFrom"));
    to_->setSpecialValueText(Text("MainWnd", "FilterTo"));
    clear_->setText(Text("MainWnd", "FilterClear"));
    deletedOnly_->setText(Text("MainWnd", "FilterDeletedOnly"));
    deletedOnly_->setToolTip(Text("MainWnd", "FilterDeletedOnlyHint"));
    recoverable_->setItemText(0, Text("MainWnd", "FilterRecoverableAny"));
    recoverable_->setItemText(1, Text("MainWnd", "FilterRecoverablePart"));
    recoverable_->setItemText(2, Text("MainWnd", "FilterRecoverableWhole"));
    minSize_->setToolTip(Text("MainWnd", "FilterSizeHint"));
    maxSize_->setToolTip(Text("MainWnd", "FilterSizeHint"));
}

void FilterBar::Clear() {
    for (QLineEdit* edit : {name_, minSize_, maxSize_}) edit->clear();
    for (QDateEdit* edit : {from_, to_}) edit->setDate(edit->minimumDate());
    const QSignalBlocker quietBox(deletedOnly_), quietList(recoverable_);
    deletedOnly_->setChecked(false);
    recoverable_->setCurrentIndex(0);
    pause_.stop();
    emit changed();
}

FindingFilter FilterBar::filter() const {
    FindingFilter filter;
    filter.namePattern = name_->text().trimmed().toStdString();
    filter.minSize = ParseSizeText(minSize_->text()).value_or(0);
    filter.maxSize = ParseSizeText(maxSize_->text());
    if (from_->date() != from_->minimumDate()) filter.modifiedFrom = FileTimeOf(from_->date());
    // "to" takes the whole of its day, as a date alone does on the command line.
    if (to_->date() != to_->minimumDate()) filter.modifiedUntil = FileTimeOf(to_->date().addDays(1));
    filter.deletedOnly = deletedOnly_->isChecked();
    if (recoverable_->currentIndex() > 0) filter.minRecoverable = recoverable_->currentIndex() == 2 ? 100 : 1;
    return filter;
}

}  // namespace kestrune::ui

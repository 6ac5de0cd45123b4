#include "ui/pagination.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>


namespace kestrune::ui {

namespace {
constexpr int kMaxButtons = 11;
}

std::vector<int> PageButtons(int pages, int current) {
    std::vector<int> out;
    const auto range = [&](int from, int to) {
        for (int page = from; page <= to; ++page) out.push_back(page);
    };
    if (pages <= kMaxButtons) {
        range(1, pages);
    } else if (current <= 6) {
        range(1, 9);
        out.push_back(0);
        range(pages - 1, pages);
    } else if (current < pages - 5) {
        range(1, 2);
        out.push_back(0);
        range(current - 3, current + 3);
        out.push_back(0);
        range(pages - 1, pages);
    } else {
        range(1, 2);
        out.push_back(0);
        range(pages - 8, pages);
    }
    return out;
}

Pagination::Pagination(QWidget* parent) : QWidget(parent) {
    setObjectName("Pagination");
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addStretch(1);
    prev_ = new QPushButton(this);
    prev_->setObjectName("PagePrev");
    next_ = new QPushButton(this);
    next_->setObjectName("PageNext");
    for (QPushButton* arrow : {prev_, next_}) arrow->setFixedWidth(30);
    prev_->setText("<");
    next_->setText(">");
    group_ = new QButtonGroup(this);
    group_->setObjectName("PAGINATION");
    layout->addWidget(prev_);
    for (int i = 0; i < kMaxButtons; ++i) {
        auto* button = new QPushButton(this);
        button->setCheckable(true);
        button->setFixedWidth(32);
        group_->addButton(button);
        buttons_.push_back(button);
        layout->addWidget(button);
    }
    for (QLabel*& gap : gaps_) {
        gap = new QLabel("...", this);
        gap->setFixedWidth(16);
        gap->setAlignment(Qt::AlignCenter);
    }
    layout->addWidget(next_);
    layout->addStretch(1);
    connect(prev_, &QPushButton::clicked, this, [this] { SetCurrentPage(current_ - 1); });
    connect(next_, &QPushButton::clicked, this, [this] { SetCurrentPage(current_ + 1); });
    connect(group_, &QButtonGroup::buttonClicked, this,
            [this](QAbstractButton* button) { SetCurrentPage(button->property("page").toInt()); });
    Layout();
}

void Pagination::SetPageCount(int pages) {
    pages_ = std::max(1, pages);
    current_ = std::min(current_, pages_);
    Layout();
}

void Pagination::SetCurrentPage(int page) {
    page = std::clamp(page, 1, pages_);
    if (page == current_) return;
    current_ = page;
    Layout();
    emit pageChanged(current_);
}

// The buttons and gaps in the order PageButtons gives, placed between the two arrows.
void Pagination::Layout() {
    auto* layout = static_cast<QHBoxLayout*>(this->layout());
    for (QPushButton* button : buttons_) button->hide();
    for (QLabel* gap : gaps_) {
        layout->removeWidget(gap);
        gap->hide();
    }
    for (QPushButton* button : buttons_) layout->removeWidget(button);
    int at = layout->indexOf(prev_) + 1;
    size_t button = 0, gap = 0;
    for (int page : PageButtons(pages_, current_)) {
        QWidget* widget = nullptr;
        if (page == 0) {
            widget = gaps_[gap++];
        } else {
            QPushButton* b = buttons_[button++];
            b->setText(QString::number(page));
            b->setProperty("page", page);
            b->setChecked(page == current_);
            widget = b;
        }
        layout->insertWidget(at++, widget);
        widget->show();
    }
    prev_->setEnabled(current_ > 1);
    next_->setEnabled(current_ < pages_);
}

QStringList Pagination::VisibleLabels() const {
    QStringList labels;
    auto* layout = static_cast<QHBoxLayout*>(this->layout());
    for (int i = 0; i < layout->count(); ++i) {
        QWidget* widget = layout->itemAt(i)->widget();
        if (!widget || widget == prev_ || widget == next_ || widget->isHidden()) continue;
        if (auto* b = qobject_cast<QPushButton*>(widget)) labels << b->text();
        else if (auto* l = qobject_cast<QLabel*>(widget)) labels << l->text();
    }
    return labels;
}

}  // namespace kestrune::ui

// A page selector: "Prev", up to eleven page buttons with gaps where pages are left out,
// "Next". The file list shows a node's files whole, so the results page does not use it;
// it is here for lists that do need pages.
#pragma once

#include <QWidget>
#include <vector>

class QButtonGroup;
class QLabel;
class QPushButton;

namespace kestrune::ui {

// The buttons for pages pages with current shown: page numbers, 0 for a gap ("...").
// Up to eleven pages all show; otherwise the first two and the last two always show,
// with seven around the current page, or nine at the end nearer the current page.
std::vector<int> PageButtons(int pages, int current);

class Pagination : public QWidget {
    Q_OBJECT
public:
    explicit Pagination(QWidget* parent = nullptr);
    void SetPageCount(int pages);
    void SetCurrentPage(int page);
    int pageCount() const { return pages_; }
    int currentPage() const { return current_; }
    // The texts of the visible buttons and gaps, left to right ("Prev" and "Next" aside).
    QStringList VisibleLabels() const;

signals:
    void pageChanged(int page);

private:
    void Layout();

    int pages_ = 1, current_ = 1;
    QPushButton* prev_;
    QPushButton* next_;
    std::vector<QPushButton*> buttons_;
    QLabel* gaps_[2];
    QButtonGroup* group_;
};

}  // namespace kestrune::ui

// The results page's views with generated findings: ticks that run up and down the type
// tree, the Other node's rule, the sort order of each column, ticks kept across nodes,
// the filter bar, the folder view, and the page selector's layout.
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QScrollBar>
#include <QWheelEvent>

#include "support/test_support.h"
#include "tests/ui/gui_driver.h"
#include "ui/filter_bar.h"
#include "ui/found_files_model.h"
#include "ui/main_wnd.h"
#include "ui/pagination.h"
#include "ui/result_index.h"
#include "ui/smooth_wheel.h"
#include "ui/target.h"
#include "ui/texts.h"

using namespace kestrune;
using namespace kestrune::test;

namespace {

struct FakeFile {
    const char* name;
    uint64_t size;
    uint64_t writeTime;
    const char* folder;
    bool isFolder = false;
    int recoverable = 100;
    uint32_t engine = NtfsQuick;
};

constexpr uint64_t kDay = 864000000000ULL;  // one day in FILETIME units
constexpr uint64_t k2020 = 132223104000000000ULL;

const FakeFile kFiles[] = {
    {"IMG_0002.JPG", 3000, k2020 + 2 * kDay, "DCIM/100CANON/", false, 100, FatQuick},
    {"img_0001.jpg", 1000, k2020 + 1 * kDay, "DCIM/100CANON/", false, 40},
    {"Holiday.jpg", 2000000, 0, "Pictures/", false, 0, Signature},
    {"logo.png", 500, k2020 + 40 * kDay, "Pictures/web/"},
    {"banner.png", 70000, k2020 + 400 * kDay, "Pictures/web/"},
    {"cache.dat", 10, k2020, ""},
    {"blob.xyz", 20, k2020, ""},
    {"README", 30, k2020, ""},
    {"Album", 0, k2020, "Pictures/", true},
};

}  // namespace

class ResultViewsTest : public QObject {
    Q_OBJECT

    TempDir store_;
    ui::Target target_;
    std::unique_ptr<ui::MainWnd> window_;
    QTreeWidget* tree_ = nullptr;
    QTreeView* list_ = nullptr;
    QCheckBox* all_ = nullptr;

    ui::Findings MakeFindings() {
        ui::TargetFindings found;
        found.target = &target_;
        for (const FakeFile& file : kFiles) {
            ScanRecord record{};
            SetRecordName(record, file.name);
            record.fileSize = file.size;
            record.writeTime = file.writeTime;
            record.createTime = file.writeTime;
            record.isFolder = file.isFolder;
            record.engineKind = file.engine;
            // A deleted 8.3 name whose first letter the names beside it gave back.
            if (std::string_view(file.name) == "IMG_0002.JPG") record.folderDeleted = kFirstLetterGuessed;
            found.records.push_back(record);
            found.folders.push_back(file.folder);
            found.recoverable.push_back(static_cast<int8_t>(file.recoverable));
            found.layoutGuessed.push_back(std::string_view(file.name) == "logo.png" ? 1 : 0);
        }
        ui::Findings findings;
        findings.push_back(std::move(found));
        return findings;
    }
    void ShowGenerated() {
        ui::Findings findings = MakeFindings();
        ui::ResultIndex index = ui::IndexFindings(findings);
        window_->ShowFindings(std::move(findings), std::move(index));
    }
    QTreeWidgetItem* Node(const QString& textStart) {
        for (QTreeWidgetItem* item : tree_->findItems("*", Qt::MatchWildcard | Qt::MatchRecursive))
            if (item->text(0).startsWith(textStart)) return item;
        return nullptr;
    }
    QStringList Column(int column) {
        QStringList texts;
        for (int row = 0; row < list_->model()->rowCount(); ++row)
            texts << list_->model()->index(row, column).data().toString();
        return texts;
    }
    void TickRow(int row, bool ticked) {
        list_->model()->setData(list_->model()->index(row, 0), ticked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    }
    void ClickHeader(int column) {
        QHeaderView* header = list_->header();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
    }
    void SetFilterText(const char* field, const QString& text) {
        // The bar reports once the typing pauses.
        QSignalSpy reported(window_->findChild<ui::FilterBar*>(), &ui::FilterBar::changed);
        window_->findChild<QLineEdit*>(field)->setText(text);
        QVERIFY(reported.wait(5000));
    }

private slots:
    void initTestCase() {
        KeepAwayFromTheUser(store_.path());
        target_.isImage = true;
        target_.imagePath = "card.img";
    }
    void init() {
        window_ = std::make_unique<ui::MainWnd>();
        window_->show();
        ShowGenerated();
        tree_ = window_->findChild<QTreeWidget*>("TypeTree");
        list_ = window_->findChild<QTreeView*>("FileList");
        all_ = window_->findChild<QCheckBox*>("ChkAllListSel");
    }
    void cleanup() {
        window_.reset();
        DropPendingActions();
    }

    void ticksRunUpAndDownTheTypeTree() {
        QTreeWidgetItem* jpg = Node("JPG");
        QTreeWidgetItem* photo = jpg->parent();
        QCOMPARE(tree_->currentItem(), jpg);  // the first child of the first group is listed
        QCOMPARE(list_->model()->rowCount(), 3);
        TickRow(0, true);
        TickRow(1, true);
        QCOMPARE(all_->checkState(), Qt::PartiallyChecked);
        QCOMPARE(jpg->checkState(0), Qt::PartiallyChecked);
        TickRow(2, true);
        QCOMPARE(all_->checkState(), Qt::PartiallyChecked);  // "Select all" counts every file shown
        QCOMPARE(jpg->checkState(0), Qt::Checked);
        QCOMPARE(photo->checkState(0), Qt::PartiallyChecked);  // the PNG files are not ticked
        TickRow(1, false);
        QCOMPARE(all_->checkState(), Qt::PartiallyChecked);
        QCOMPARE(photo->checkState(0), Qt::PartiallyChecked);

        // Ticking the group's own box ticks every file below it.
        photo->setCheckState(0, Qt::Checked);
        QCOMPARE(jpg->checkState(0), Qt::Checked);
        QCOMPARE(Node("PNG")->checkState(0), Qt::Checked);
        QCOMPARE(window_->ticked().size(), size_t(5));
        QCOMPARE(window_->findChild<QLabel*>("SelectedFileInfo")->text(),
                 ui::FormatText(ui::Msg("MSG0804"), {ui::SizeText(2074500), "5"}));
        photo->setCheckState(0, Qt::Unchecked);
        QVERIFY(window_->ticked().empty());
        QCOMPARE(window_->findChild<QLabel*>("SelectedFileInfo")->text(), ui::Msg("MSG0803"));

        // The header box ticks every file shown, whichever node is listed; a second click
        // clears them.
        tree_->setCurrentItem(Node("PNG"));
        all_->click();
        QCOMPARE(all_->checkState(), Qt::Checked);
        QCOMPARE(Node("PNG")->checkState(0), Qt::Checked);
        QCOMPARE(photo->checkState(0), Qt::Checked);
        QCOMPARE(window_->ticked().size(), window_->findings().front().records.size());
        all_->click();
        QCOMPARE(Node("PNG")->checkState(0), Qt::Unchecked);
        QVERIFY(window_->ticked().empty());
    }

    void ticksStayWhenAnotherNodeIsListed() {
        TickRow(0, true);
        const QString ticked = Column(0)[0];
        tree_->setCurrentItem(Node("PNG"));
        QCOMPARE(list_->model()->rowCount(), 2);
        tree_->setCurrentItem(Node("JPG"));
        QCOMPARE(Column(0)[0], ticked);
        QCOMPARE(list_->model()->index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(window_->ticked().size(), size_t(1));
    }

    void otherKindsShowOnlyWhileTheirOptionIsTickedAndNoExtensionComesLast() {
        QTreeWidgetItem* other = Node(ui::Msg("MSG0812"));
        QVERIFY(other && !other->isHidden());
        QStringList children;
        for (int i = 0; i < other->childCount(); ++i) children << other->child(i)->text(0);
        const QString files = ui::Text("MainWnd", "TxtExtensionFiles");
        QCOMPARE(children, QStringList({ui::FormatText(files, {"DAT"}) + " (1)", ui::FormatText(files, {"XYZ"}) + " (1)",
                                        ui::Text("MainWnd", "TxtNoExtension") + " (2)"}));

        window_->findChild<QCheckBox*>("OptOtherFileItem")->setChecked(false);
        ShowGenerated();
        QVERIFY(Node(ui::Msg("MSG0812"))->isHidden());
        QVERIFY(!Node("DAT"));
    }

    void headersSortTheWayTheirColumnsMean() {
        tree_->setCurrentItem(Node(ui::Msg("MSG0807")));  // the whole photo group: five files
        ClickHeader(ui::FoundFilesModel::Size);           // first click: the largest first
        QCOMPARE(Column(0), QStringList({"Holiday.jpg", "banner.png", "IMG_0002.JPG", "img_0001.jpg", "logo.png"}));
        ClickHeader(ui::FoundFilesModel::FileName);  // first click: A to Z, case aside
        QCOMPARE(Column(0), QStringList({"banner.png", "Holiday.jpg", "img_0001.jpg", "IMG_0002.JPG", "logo.png"}));
        ClickHeader(ui::FoundFilesModel::FileName);
        QCOMPARE(Column(0).front(), QString("logo.png"));
        ClickHeader(ui::FoundFilesModel::ModifiedTime);  // newest first; no time at all last
        QCOMPARE(Column(0), QStringList({"banner.png", "logo.png", "IMG_0002.JPG", "img_0001.jpg", "Holiday.jpg"}));
        ClickHeader(ui::FoundFilesModel::ModifiedTime);  // oldest first: the empty text first
        QCOMPARE(Column(0).front(), QString("Holiday.jpg"));
        // The sort holds when another node is listed.
        tree_->setCurrentItem(Node("PNG"));
        QCOMPARE(Column(0), QStringList({"logo.png", "banner.png"}));
    }

    void namesSortByTheNumbersInThem() {
        QStringList names{"f1002.jpg", "F998.jpg", "f0999.jpg", "f998.png", "", "img10", "img9", "IMG9"};
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
            return ui::CompareNames(a.toStdString(), b.toStdString()) < 0;
        });
        QCOMPARE(names, QStringList({"", "F998.jpg", "f998.png", "f0999.jpg", "f1002.jpg", "IMG9", "img9", "img10"}));
    }

    void foldersSortBeforeFilesBySize() {
        ui::Findings findings = MakeFindings();
        const ui::FoundRef folder{0, 8}, small{0, 5}, large{0, 2};
        using C = ui::FoundFilesModel;
        QVERIFY(ui::SortsBefore(findings, folder, small, C::Size));
        QVERIFY(ui::SortsBefore(findings, small, large, C::Size));
        QVERIFY(!ui::SortsBefore(findings, large, folder, C::Size));
        // Path: the files found at the top of the volume (no folder) sort first.
        QVERIFY(ui::SortsBefore(findings, small, large, C::Path));
        QVERIFY(ui::SortsBefore(findings, ui::FoundRef{0, 0}, ui::FoundRef{0, 3}, C::Path));
    }

    void theFilterNarrowsListsCountsAndTickAll() {
        SetFilterText("FilterName", "img");
        QCOMPARE(Node("JPG")->text(0), QString("JPG (2)"));
        QCOMPARE(Node(ui::Msg("MSG0807"))->text(0), ui::Msg("MSG0807") + " (2)");
        QVERIFY(Node(ui::Msg("MSG0807"))->checkState(0) == Qt::Unchecked);
        tree_->setCurrentItem(Node("JPG"));
        QCOMPARE(list_->model()->rowCount(), 2);
        all_->click();  // ticks the two shown, not Holiday.jpg
        QCOMPARE(window_->ticked().size(), size_t(2));
        QCOMPARE(Node("JPG")->checkState(0), Qt::Checked);

        SetFilterText("FilterName", "");
        QCOMPARE(Node("JPG")->text(0), QString("JPG (3)"));
        QCOMPARE(Node("JPG")->checkState(0), Qt::PartiallyChecked);
        SetFilterText("FilterMinSize", "2 KB");
        QCOMPARE(Node("JPG")->text(0), QString("JPG (2)"));  // 3000 bytes and 2 MB
        SetFilterText("FilterMaxSize", "1M");
        QCOMPARE(Node("JPG")->text(0), QString("JPG (1)"));
        SetFilterText("FilterMinSize", "");
        SetFilterText("FilterMaxSize", "");
        QCOMPARE(Node("JPG")->text(0), QString("JPG (3)"));
        // How the files were found, and how much of them is left.
        window_->findChild<QCheckBox*>("FilterDeletedOnly")->click();
        QVERIFY(QTest::qWaitFor([&] { return Node("JPG")->text(0) == "JPG (2)"; }, 2000));  // not the carved one
        window_->findChild<QCheckBox*>("FilterDeletedOnly")->click();
        auto* recoverable = window_->findChild<QComboBox*>("FilterRecoverable");
        recoverable->setCurrentIndex(2);
        QVERIFY(QTest::qWaitFor([&] { return Node("JPG")->text(0) == "JPG (1)"; }, 2000));  // whole files only
        recoverable->setCurrentIndex(1);
        QVERIFY(QTest::qWaitFor([&] { return Node("JPG")->text(0) == "JPG (2)"; }, 2000));  // not the overwritten one
        tree_->setCurrentItem(Node("JPG"));
        QVERIFY(Column(ui::FoundFilesModel::Recoverable).contains("40 % " + ui::Text("MainWnd", "TxtPartial")));
        window_->findChild<QPushButton*>("FilterClear")->click();
        QVERIFY(QTest::qWaitFor([&] { return Node("JPG")->text(0) == "JPG (3)"; }, 2000));
        QCOMPARE(recoverable->currentIndex(), 0);
        QCOMPARE(ui::ParseSizeText("1.5 GiB").value(), uint64_t(1610612736));
        QCOMPARE(ui::ParseSizeText("1,5 kb").value(), uint64_t(1536));
        QVERIFY(!ui::ParseSizeText("lots").has_value());
    }

    // A filter finds matches wherever they are, "Select all" ticks what it shows, and a
    // recovery asks before it leaves out, or takes in, ticked files the filter hides.
    void aFilterSearchesTheWholeTreeAndRecoverAsksAboutTicksItHides() {
        tree_->setCurrentItem(Node("PNG"));
        SetFilterText("FilterName", "holiday");
        QCOMPARE(tree_->currentItem(), Node("JPG"));
        QCOMPARE(Column(0), QStringList({"Holiday.jpg"}));
        all_->click();
        QCOMPARE(window_->ticked().size(), size_t(1));
        SetFilterText("FilterName", "");
        Node("PNG")->setCheckState(0, Qt::Checked);
        QCOMPARE(window_->ticked().size(), size_t(3));
        SetFilterText("FilterName", "holiday");
        QString asked;
        bool askedWhere = false;
        WhenShown("HiddenTicksBox", [&](QWidget* box) {
            asked = static_cast<QMessageBox*>(box)->text();
            box->findChild<QPushButton*>("BtnCancel")->click();
        });
        window_->findChild<QPushButton*>("BtnRecover")->click();
        QCOMPARE(asked, ui::FormatText(ui::Text("MainWnd", "TxtHiddenTicks"), {"2", "3", "1"}));
        WhenShown("HiddenTicksBox", [](QWidget* box) { box->findChild<QPushButton*>("BtnShownOnly")->click(); });
        WhenShown("RecoverFolderDialog", [&](QWidget* dialog) {
            askedWhere = true;
            static_cast<QDialog*>(dialog)->reject();
        });
        window_->findChild<QPushButton*>("BtnRecover")->click();
        QVERIFY(askedWhere);
    }

    void aFileWhosePiecesAreAGuessSaysSo() {
        tree_->setCurrentItem(Node("PNG"));
        QStringList shown = Column(ui::FoundFilesModel::Recoverable);
        QVERIFY(shown.contains("100 % " + ui::Text("MainWnd", "TxtLayoutGuessed")));  // logo.png
        QVERIFY(shown.contains("100 % " + ui::Text("MainWnd", "TxtGood")));           // banner.png
        const int row = Column(0).indexOf("logo.png");
        const QModelIndex cell = list_->model()->index(row, ui::FoundFilesModel::Recoverable);
        QCOMPARE(cell.data(Qt::ToolTipRole).toString(), ui::Text("MainWnd", "TxtLayoutGuessedTip"));
    }

    void aNameWhoseFirstLetterIsGuessedSaysSoInItsTooltip() {
        tree_->setCurrentItem(Node("JPG"));
        const QStringList names = Column(ui::FoundFilesModel::FileName);
        const QModelIndex guessed = list_->model()->index(names.indexOf("IMG_0002.JPG"), ui::FoundFilesModel::FileName);
        QVERIFY(guessed.data(Qt::ToolTipRole).toString().contains(ui::Text("MainWnd", "TxtFirstLetterGuessedTip")));
        const QModelIndex read = list_->model()->index(names.indexOf("img_0001.jpg"), ui::FoundFilesModel::FileName);
        QCOMPARE(read.data(Qt::ToolTipRole).toString(), QStringLiteral("img_0001.jpg"));
    }

    void theFolderViewListsWhereFilesWereFound() {
        window_->findChild<QToolButton*>("ViewByFolder")->click();
        auto* folders = window_->findChild<QTreeView*>("FolderTree");
        QVERIFY(folders->isVisible());
        QAbstractItemModel* model = folders->model();
        QCOMPARE(model->rowCount(), 1);
        const QModelIndex root = model->index(0, 0);
        QCOMPARE(root.data().toString(), target_.DisplayName() + " (9)");
        QStringList top;
        for (int row = 0; row < model->rowCount(root); ++row) top << model->index(row, 0, root).data().toString();
        QCOMPARE(top, QStringList({"DCIM (2)", "Pictures (4)"}));
        // It opens on the first folder that holds files: here the volume's top, which
        // holds the files found without a folder.
        QCOMPARE(folders->currentIndex(), root);
        QCOMPARE(list_->model()->rowCount(), 3);
        // Ticking a folder ticks everything below it.
        const QModelIndex pictures = model->index(1, 0, root);
        model->setData(pictures, Qt::Checked, Qt::CheckStateRole);
        QCOMPARE(window_->ticked().size(), size_t(4));
        QCOMPARE(root.data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
        folders->setCurrentIndex(pictures);
        QCOMPARE(Column(ui::FoundFilesModel::Path), QStringList({"Pictures/", "Pictures/"}));
        QCOMPARE(all_->checkState(), Qt::PartiallyChecked);  // 4 of the 9
        // The type view shows the same ticks.
        window_->findChild<QToolButton*>("ViewByType")->click();
        QCOMPARE(Node("PNG")->checkState(0), Qt::Checked);
        QCOMPARE(Node("JPG")->checkState(0), Qt::PartiallyChecked);
    }

    void pageSelectorLeavesOutTheMiddle() {
        QCOMPARE(ui::PageButtons(20, 10), (std::vector<int>{1, 2, 0, 7, 8, 9, 10, 11, 12, 13, 0, 19, 20}));
        QCOMPARE(ui::PageButtons(12, 7), (std::vector<int>{1, 2, 0, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
        QCOMPARE(ui::PageButtons(20, 3), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 19, 20}));
        QCOMPARE(ui::PageButtons(5, 1), (std::vector<int>{1, 2, 3, 4, 5}));
        ui::Pagination pages;
        pages.SetPageCount(20);
        pages.show();
        QVERIFY(!pages.findChild<QWidget*>("PagePrev")->isEnabled());
        pages.SetCurrentPage(10);
        QCOMPARE(pages.VisibleLabels(),
                 QStringList({"1", "2", "...", "7", "8", "9", "10", "11", "12", "13", "...", "19", "20"}));
        QTest::mouseClick(qobject_cast<QAbstractButton*>(pages.findChild<QWidget*>("PageNext")), Qt::LeftButton);
        QCOMPARE(pages.currentPage(), 11);
    }

    void wheelNotchesAgainstTheGlideBrakeHarderThanAlongItSpeedUp() {
        ui::WheelGlide along, against;
        along.Notch(false);
        along.Notch(false);
        against.Notch(false);
        against.Notch(true);
        QCOMPARE(along.speed(), -20.0);
        QCOMPARE(against.speed(), 6.0);  // -10, then 16 back
        for (int i = 0; i < 20; ++i) along.Notch(false);
        QCOMPARE(along.speed(), -100.0);  // the speed has a ceiling
        // The glide eases out and ends by itself; at the bottom it stops at once.
        int travelled = 0, steps = 0;
        while (int step = along.NextStep(false, false)) travelled += step, ++steps;
        QVERIFY(steps > 0 && steps <= 40 && travelled < 0);
        QVERIFY(!along.running());
        against.Notch(false);
        QCOMPARE(against.NextStep(false, true), 0);
    }

    void theDiskListGlidesOnTheWheel() {
        auto* list = window_->findChild<QTreeWidget*>("DiskList");
        for (int i = 0; i < 200; ++i) new QTreeWidgetItem(list, QStringList{QString("row %1").arg(i)});
        window_->findChild<QAbstractButton*>("BtnDeepRecovery")->click();  // the disk page
        QScrollBar* bar = list->verticalScrollBar();
        QVERIFY(WaitFor([&] { return bar->maximum() > 0; }, 5000));
        const QPoint at = list->viewport()->rect().center();
        QWheelEvent notch(at, list->viewport()->mapToGlobal(at), {}, QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(list->viewport(), &notch);
        QCOMPARE(bar->value(), 0);  // nothing jumps: the glide moves on the timer
        QVERIFY(WaitFor([&] { return bar->value() > 0; }, 5000));
    }
};

QTEST_MAIN(ResultViewsTest)
#include "result_views_test.moc"

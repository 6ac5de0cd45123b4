#include "ui/main_wnd.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QEvent>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>

#include "app/language_table.h"
#include "ui/assist_menu.h"
#include "ui/device_refresh.h"
#include "ui/file_type_page.h"
#include "ui/found_files_model.h"
#include "ui/results_view.h"
#include "ui/message_box.h"
#include "ui/preview_pane.h"
#include "ui/texts.h"
#include "ui_main_wnd.h"

namespace kestrune::ui {

namespace {

// The hover description of each mode button.
class HoverText : public QObject {
public:
    HoverText(QLabel* target, QObject* parent) : QObject(parent), target_(target) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Enter) target_->setText(Msg(watched->property("hoverId").toByteArray()));
        return false;
    }

private:
    QLabel* target_;
};

}  // namespace

MainWnd::MainWnd() : ui_(std::make_unique<Ui::MainWnd>()), jobs_(this) {
    InitSkinResources();
    ui_->setupUi(this);
    setWindowIcon(QIcon(":/skin/kestrune.svg"));
    ui_->LblLogo->setPixmap(QIcon(":/skin/kestrune.svg").pixmap(32, 32));

    auto* steps = new QButtonGroup(this);
    steps->setObjectName("TabStep");
    for (QPushButton* tab : {ui_->TabScan, ui_->TabFileType, ui_->TabRecover}) steps->addButton(tab);
    connect(ui_->TabScan, &QPushButton::clicked, this, [this] { ShowPage(DiskPage); });
    connect(ui_->TabFileType, &QPushButton::clicked, this, [this] { ShowPage(FileTypePage_); });
    connect(ui_->TabRecover, &QPushButton::clicked, this, [this] { ShowPage(ResultsPage); });
    ui_->TabRecover->setEnabled(false);

    const struct {
        QPushButton* button;
        const char* icon;
        const char* hover;
        ScanMode mode;
        bool image;
    } modes[] = {{ui_->BtnDeletedRecovery, ":/skin/mode_deleted.svg", "MSG0101", ScanMode::Quick, false},
                 {ui_->BtnFormattedRecovery, ":/skin/mode_formatted.svg", "MSG0102", ScanMode::Formatted, false},
                 {ui_->BtnDeepRecovery, ":/skin/mode_deep.svg", "MSG0103", ScanMode::Deep, false},
                 {ui_->BtnCreateImageMode, ":/skin/mode_image.svg", "MSG0104", ScanMode::Formatted, true}};
    auto* hover = new HoverText(ui_->TxtMainInfo, this);
    for (const auto& m : modes) {
        m.button->setIcon(QIcon(m.icon));
        m.button->setIconSize(QSize(40, 40));
        m.button->setProperty("hoverId", QByteArray(m.hover));
        m.button->installEventFilter(hover);
        const ScanMode mode = m.mode;
        const bool image = m.image;
        connect(m.button, &QPushButton::clicked, this, [this, mode, image] {
            ChooseMode(image ? mode_ : mode, image);
        });
    }
    connect(ui_->BtnStart, &QPushButton::clicked, this, [this] { ChooseMode(ScanMode::Formatted, false); });
    connect(ui_->BtnScan, &QPushButton::clicked, this, &MainWnd::Scan);
    connect(ui_->BtnRecover, &QPushButton::clicked, this, &MainWnd::Recover);
    connect(ui_->BtnNext, &QPushButton::clicked, this, &MainWnd::GoNext);
    connect(ui_->BtnPrev, &QPushButton::clicked, this, &MainWnd::GoBack);
    connect(ui_->BtnLoadImage, &QPushButton::clicked, this, &MainWnd::LoadImageClicked);
    connect(ui_->BtnCreateImage, &QPushButton::clicked, this, &MainWnd::CreateImageClicked);
    connect(ui_->BtnFindVolumes, &QPushButton::clicked, this, &MainWnd::FindVolumesClicked);

    assist_ = new AssistMenu(this);
    ui_->BtnAssist->setIcon(QIcon(":/skin/menu.svg"));
    connect(ui_->BtnAssist, &QPushButton::clicked, this, [this] {
        assist_->popup(ui_->BtnAssist->mapToGlobal(QPoint(0, ui_->BtnAssist->height())));
    });
    connect(assist_, &AssistMenu::languageChanged, this, &MainWnd::ApplyAllTexts);
    connect(assist_, &AssistMenu::exitRequested, this, &QWidget::close);
    // The keys people try first: help, quit, and find (the filter's name field).
    auto shortcut = [this](QKeySequence keys, auto action) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, action);
    };
    shortcut(QKeySequence(Qt::Key_F1), [this] { assist_->OpenLink("Help"); });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_F), [this] {
        if (currentPage() != ResultsPage) return;
        if (auto* name = findChild<QLineEdit*>("FilterName")) {
            name->setFocus(Qt::ShortcutFocusReason);
            name->selectAll();
        }
    });

    fileTypes_ = new FileTypePage(ui_->PageFileType);
    LinkTypeChecks();

    preview_ = new PreviewPane(ui_->PreviewEdit, this);
    results_ = new ResultsView(ui_->TypeTree, ui_->FileList, ui_->ChkAllListSel, fileTypes_, findings_, ticked_, this);
    connect(results_, &ResultsView::tickedChanged, this, &MainWnd::UpdateSelectionSummary);
    // An empty list leaves nothing to preview (a reset model reports no current row).
    connect(results_->files(), &QAbstractItemModel::modelReset, this, [this] {
        if (results_->files()->rowCount() == 0) preview_->Clear();
    });
    connect(ui_->FileList->selectionModel(), &QItemSelectionModel::currentChanged, this, &MainWnd::ShowFileDetails);
    const int widths[] = {220, 80, 150, 130, 130, 160};
    for (int column = 0; column < 6; ++column) ui_->FileList->setColumnWidth(column, widths[column]);
    ui_->ResultsSplitter->setSizes({250, 510, 240});

    connect(ui_->DiskList, &QTreeWidget::itemSelectionChanged, this, &MainWnd::ShowDiskInfo);
    connect(ui_->DiskList, &QTreeWidget::itemDoubleClicked, this, &MainWnd::DiskRowDoubleClicked);

    deviceRefresh_ = new DeviceRefresh(this);
    ApplyAllTexts();
    ListDisks();
    ShowPage(StartPage);
    UpdateSelectionSummary();
    resize(1000, 650);
}

// The preview stops first: a copy it may still run reads from a target's run.
MainWnd::~MainWnd() { preview_->Clear(); }

int MainWnd::currentPage() const { return ui_->TabPage->currentIndex(); }

void MainWnd::ApplyAllTexts() {
    UseLanguageForQt();
    ApplyTexts(this, "MainWnd");
    ui_->LblProductName->setText(Msg("MSG1209"));
    ui_->TxtMainInfo->setText(Msg("MSG0101"));
    ui_->DiskList->Retranslate();
    fileTypes_->Retranslate();
    assist_->Rebuild();
    ui_->TypeTree->setHeaderLabels({Text("MainWnd", "TypeTreeHeader")});
    ui_->ChkExistingFiles->setToolTip(Text("MainWnd", "ChkExistingFilesTip"));
    ui_->BtnFindVolumes->setToolTip(Text("MainWnd", "BtnFindVolumesTip"));
    results_->Retranslate();
    SetBanner(currentPage());
    UpdateSelectionSummary();
    ShowDiskInfo();
}

void MainWnd::SetBanner(int page) {
    ui_->ToolBar2->setProperty("page", page);
    ui_->ToolBar2->style()->unpolish(ui_->ToolBar2);
    ui_->ToolBar2->style()->polish(ui_->ToolBar2);
    const char* logo = ":/skin/scan_files.svg";
    if (page == DiskPage) {
        ui_->Txt1->setText(Msg(imageMode_ ? "MSG0212" : "MSG0501"));
        ui_->Txt2->setText(Msg(imageMode_ ? "MSG0213" : "MSG0502"));
        ui_->TabScan->setText(Msg(imageMode_ ? "MSG0211" : "MSG0503"));
        if (imageMode_) logo = ":/skin/create_image.svg";
    } else if (page == FileTypePage_) {
        ui_->Txt1->setText(Msg("MSG0601"));
        ui_->Txt2->setText(Msg("MSG0602"));
        logo = ":/skin/advance_scan.svg";
    } else if (page == ResultsPage) {
        size_t count = 0;
        for (const TargetFindings& found : findings_) count += found.records.size();
        // A scan the user stopped says so, and where: its findings are not all there is.
        ui_->Txt1->setText(stoppedAt_ ? FormatText(Msg("MSG0712"), {QString::number(*stoppedAt_)}) : Msg("MSG0801"));
        ui_->Txt1->setToolTip(stoppedAt_ ? Msg("MSG0713") : QString());
        // The banner shows the count in the language file's own markup, made rich text.
        QString count_markup = count == 1 ? Msg("MSG0813") : FormatText(Msg("MSG0802"), {QString::number(count)});
        count_markup.replace("{f 7}", "<b>").replace("{/f}", "</b>").replace("{c #316D1E}", "<span>")
            .replace("{/c}", "</span>");
        ui_->Txt2->setText(count_markup);
        logo = ":/skin/recover_file.svg";
    }
    ui_->ToolBar2Logo->setPixmap(QIcon(logo).pixmap(50, 50));
}

void MainWnd::ShowPage(int page) {
    const bool start = page == StartPage;
    ui_->SubBar1->setVisible(start);
    ui_->ToolBar2->setVisible(!start);
    ui_->ToolBar3->setVisible(!start);
    ui_->SubBar2->setVisible(!start);
    ui_->BtnScan->setVisible(!start && page != ResultsPage && !imageMode_);
    ui_->BtnRecover->setVisible(page == ResultsPage);
    ui_->SelectedFileInfo->setVisible(page == ResultsPage);
    ui_->TabRecover->setVisible(!imageMode_);
    ui_->TabFileType->setVisible(!imageMode_);
    ui_->BtnCreateImage->setVisible(imageMode_);
    // Existing files are worth asking for where a quick scan reads the file system.
    ui_->ChkExistingFiles->setVisible(page == DiskPage && mode_ == ScanMode::Quick && !imageMode_);
    ui_->BtnPrev->setEnabled(!start);
    ui_->TabScan->setChecked(page == DiskPage);
    ui_->TabFileType->setChecked(page == FileTypePage_);
    ui_->TabRecover->setChecked(page == ResultsPage);
    if (start) ui_->LblStartTitle->setText(Text("MainWnd", "LblStartTitle"));
    SetBanner(page);
    ui_->TabPage->setCurrentIndex(page);
}

void MainWnd::ChooseMode(ScanMode mode, bool imageMode) {
    mode_ = mode;
    imageMode_ = imageMode;
    PreSelect();
    ShowPage(DiskPage);
}

void MainWnd::GoNext() {
    switch (currentPage()) {
        case StartPage: ShowPage(DiskPage); break;
        case DiskPage:
            if (!ui_->BtnScan->isEnabled() || !targetChosen_)
                MessageBox::Show(MessageBox::Information, this, Text("MainWnd", "TxtSelectMedia"));
            else if (!imageMode_) ShowPage(FileTypePage_);
            break;
        case FileTypePage_:
            if (ui_->TabRecover->isEnabled()) ShowPage(ResultsPage);
            break;
        default: break;
    }
}

void MainWnd::GoBack() {
    switch (currentPage()) {
        case DiskPage: ShowPage(StartPage); break;
        case FileTypePage_: ShowPage(DiskPage); break;
        // After a scan started from the file-type page, Back leads there again.
        case ResultsPage: ShowPage(scanFromTypePage_ ? FileTypePage_ : DiskPage); break;
        default: break;
    }
}

void MainWnd::LinkTypeChecks() {
    for (QCheckBox* box : {ui_->ChkPhoto, ui_->ChkMusic, ui_->ChkVideo, ui_->ChkOffice, ui_->ChkArchive, ui_->ChkOther})
        connect(box, &QCheckBox::toggled, this, [this, box] { TypeCheckChanged(box); });
    ui_->ChkRecoverAll->setTristate(false);
    connect(ui_->ChkRecoverAll, &QCheckBox::clicked, this, &MainWnd::RecoverAllClicked);
}

void MainWnd::TypeCheckChanged(QAbstractButton* box) {
    const QCheckBox* boxes[] = {ui_->ChkPhoto, ui_->ChkMusic, ui_->ChkVideo, ui_->ChkOffice, ui_->ChkArchive, ui_->ChkOther};
    int ticked = 0;
    for (int group = 0; group < FileTypePage::GroupCount; ++group) {
        if (boxes[group] == box) fileTypes_->SetGroup(static_cast<FileTypePage::Group>(group), box->isChecked());
        ticked += boxes[group]->isChecked();
    }
    const QSignalBlocker quiet(ui_->ChkRecoverAll);
    ui_->ChkRecoverAll->setCheckState(ticked == FileTypePage::GroupCount ? Qt::Checked
                                      : ticked == 0                       ? Qt::Unchecked
                                                                          : Qt::PartiallyChecked);
    UpdateStartButton();
}

void MainWnd::RecoverAllClicked() {
    // A click on the half-selected box ticks everything.
    const bool all = ui_->ChkRecoverAll->checkState() != Qt::Unchecked;
    for (QCheckBox* box : {ui_->ChkPhoto, ui_->ChkMusic, ui_->ChkVideo, ui_->ChkOffice, ui_->ChkArchive, ui_->ChkOther})
        box->setChecked(all);
    ui_->ChkRecoverAll->setCheckState(all ? Qt::Checked : Qt::Unchecked);
    UpdateStartButton();
}

void MainWnd::UpdateStartButton() {
    bool any = false;
    for (QCheckBox* box : {ui_->ChkPhoto, ui_->ChkMusic, ui_->ChkVideo, ui_->ChkOffice, ui_->ChkArchive, ui_->ChkOther})
        any = any || box->isChecked();
    ui_->BtnStart->setEnabled(any);
}

void MainWnd::ShowAgain() {
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    showNormal();
    raise();
    activateWindow();
}

}  // namespace kestrune::ui

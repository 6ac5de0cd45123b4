// The preview pane on files made by real tools (tests/fixtures/make_preview_images.sh),
// found by a quick scan of the FAT image they were deleted from: pictures, a PDF page,
// office text, archive listings, raw text, damaged files, a decoder that hangs, a copy
// cancelled or superseded, sound, and the temporary files' lifetime.
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QSignalSpy>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTextBrowser>
#include <filesystem>
#include <fstream>

#include "base/result_codes.h"
#include "scanlog/store_folder.h"
#include "session/search_pattern.h"
#include "support/test_support.h"
#include "tests/ui/gui_driver.h"
#include "ui/message_box.h"
#include "ui/preview_decoder.h"
#include "ui/preview_kind.h"
#include "ui/preview_pane.h"
#include "ui/preview_player.h"
#include "ui/preview_process_wnd.h"
#include "ui/target.h"
#include "ui/texts.h"

using namespace kestrune;
using namespace kestrune::test;
namespace fs = std::filesystem;
using Content = ui::PreviewPane::Content;

namespace {

// Children of this process still running as preview helpers (or anything they started).
int RunningChildren() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int parent = 0;
        if (sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == getpid() && state != 'Z')
            ++count;
    }
    return count;
}

// The raw view as the pane's document gives it back: a carriage return also breaks a line,
// and a no-break space reads as a space.
QString AsShown(const QByteArray& head) {
    return ui::RawText(head).replace("\r\n", "\n").replace('\r', '\n').replace(QChar(0xA0), ' ');
}

size_t PreviewFolders() {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(StoreFolder()))
        count += entry.path().filename().string().rfind("preview-", 0) == 0;
    return count;
}

}  // namespace

class PreviewPaneTest : public QObject {
    Q_OBJECT

private:
    TempDir store_, work_;
    ui::Target target_;
    ui::TargetFindings found_;
    std::unique_ptr<QWidget> window_;
    QTextBrowser* edit_ = nullptr;
    ui::PreviewPane* pane_ = nullptr;

    uint32_t Index(const std::string& name) const {
        for (uint32_t i = 0; i < found_.records.size(); ++i)
            if (RecordName(found_.records[i]) == "found-" + name) return i;
        std::string names;
        for (const ScanRecord& record : found_.records) names += std::string(RecordName(record)) + " ";
        qFatal("%s was not found among %s", name.c_str(), names.c_str());
    }
    // Shows the found file name and waits until the pane has shown it.
    bool ShowAndWait(const std::string& name, int timeoutMs = 60000) {
        QSignalSpy shown(pane_, &ui::PreviewPane::shown);
        pane_->Show(found_, Index(name));
        return WaitFor([&] { return shown.count() > 0 && !pane_->busy(); }, timeoutMs);
    }
    QByteArray FileHead(const std::string& name, qsizetype count) {
        const auto bytes = ReadFileBytes(pane_->tempFile());
        Q_UNUSED(name);
        return QByteArray(reinterpret_cast<const char*>(bytes.data()), std::min<qsizetype>(count, bytes.size()));
    }
    void NewPane() {
        window_ = std::make_unique<QWidget>();
        auto* splitter = new QSplitter(window_.get());
        splitter->setObjectName("ResultsSplitter");
        splitter->addWidget(new QWidget);
        edit_ = new QTextBrowser;
        edit_->setObjectName("PreviewEdit");
        splitter->addWidget(edit_);
        splitter->setGeometry(0, 0, 800, 420);
        splitter->setSizes({200, 600});
        window_->resize(800, 420);
        window_->show();
        pane_ = new ui::PreviewPane(edit_, window_.get());
        pane_->SetWindowDelay(60000);
    }

private slots:
    void initTestCase() {
        qputenv("KESTRUNE_DATA_HOME", QByteArray::fromStdString(store_.path().string()));
        qputenv("KESTRUNE_PREVIEW_HELPER", KESTRUNE_PREVIEW_HELPER_PATH);
        const fs::path image = UnpackFixture("preview/preview.img.gz", work_.path());
        std::string error;
        QCOMPARE(ResolveScanSource(image.string(), 0, target_.source, error), kOk);
        target_.isImage = true;
        target_.run = std::make_unique<ScanRun>(target_.source, ScanMode::Quick);
        QCOMPARE(target_.run->Start(), kOk);
        found_.target = &target_;
        QCOMPARE(target_.run->Search(SearchPatternFor({}, {}, error), found_.records), kOk);
        found_.folders.resize(found_.records.size());
    }
    void init() { NewPane(); }
    void cleanup() {
        DropPendingActions();
        window_.reset();
        ui::PreviewProcessWnd::SetPieceDelayForTests(0);
        qunsetenv("KESTRUNE_PREVIEW_TEST_HANG");
    }

    void rawTextIsOneCharacterPerByteInLinesOf1024() {
        QCOMPARE(ui::RawText(QByteArray("a\0b", 3)), QString("a.b\r\n"));
        QCOMPARE(ui::RawText({}), QString("\r\n"));
        const QString text = ui::RawText(QByteArray(2048, 'x'));
        QCOMPARE(text, QString(1024, 'x') + "\r\n" + QString(1024, 'x') + "\r\n");
        QCOMPARE(ui::RawText(QByteArray(1, char(0xE9))), QString(QChar(0xE9)) + "\r\n");
    }

    void kindsFollowTheWholeExtension() {
        QCOMPARE(ui::PreviewKindOf("a.JPG"), ui::PreviewKind::Picture);
        QCOMPARE(ui::PreviewKindOf("a.docx"), ui::PreviewKind::OfficeXml);
        QCOMPARE(ui::PreviewKindOf("a.doc"), ui::PreviewKind::LegacyOffice);
        QCOMPARE(ui::PreviewKindOf("a.7z"), ui::PreviewKind::Archive);
        QCOMPARE(ui::PreviewKindOf("a.pdf"), ui::PreviewKind::Pdf);
        QCOMPARE(ui::PreviewKindOf("a.wav"), ui::PreviewKind::Audio);
        QCOMPARE(ui::PreviewKindOf("a.mkv"), ui::PreviewKind::Video);
        // A piece of an extension is no extension: "o" is not a Word document.
        QCOMPARE(ui::PreviewKindOf("a.o"), ui::PreviewKind::Raw);
        QCOMPARE(ui::PreviewKindOf("noextension"), ui::PreviewKind::Raw);
    }

    void aPhotoIsShownScaledToThePaneKeepingItsShape() {
        QVERIFY(ShowAndWait("photo.jpg"));
        QCOMPARE(pane_->content(), Content::Picture);
        const QImage& picture = pane_->picture();
        QCOMPARE(picture.size(), QSize(640, 480).scaled(pane_->FitSize(), Qt::KeepAspectRatio));
        QVERIFY(picture.width() < 640);
        // The middle of the photo is its navy circle.
        const QColor middle = picture.pixelColor(picture.width() / 2, picture.height() / 2);
        QVERIFY2(middle.blue() > 80 && middle.red() < 60, qPrintable(middle.name()));
        QVERIFY(!edit_->document()->resource(QTextDocument::ImageResource, QUrl("kestrune-preview://picture")).isNull());
    }

    void aSmallPictureKeepsItsSizeAndATinyOneIsNoPreview() {
        QVERIFY(ShowAndWait("picture.png"));
        QCOMPARE(pane_->content(), Content::Picture);
        QCOMPARE(pane_->picture().size(), QSize(300, 200));
        QVERIFY(ShowAndWait("dot.png"));
        QCOMPARE(pane_->content(), Content::Message);
        QCOMPARE(pane_->text(), ui::Msg("MSG0905"));
    }

    void aPdfShowsItsFirstPage() {
        QVERIFY(ShowAndWait("letter.pdf"));
        QCOMPARE(pane_->content(), Content::Picture);
        const QImage& page = pane_->picture();
        QVERIFY(page.height() > page.width());  // a portrait page, fitted to the pane
        QVERIFY(page.height() <= pane_->FitSize().height() && page.width() <= pane_->FitSize().width());
        int dark = 0;
        for (int y = 0; y < page.height(); ++y)
            for (int x = 0; x < page.width(); ++x) dark += qGray(page.pixel(x, y)) < 128;
        QVERIFY2(dark > 20, "the page shows its text");
    }

    void officeDocumentsShowTheirText() {
        const std::pair<const char*, const char*> documents[] = {
            {"memo.docx", "The kestrel flies over Halvardine."}, {"memo.odt", "The kestrel flies over Halvardine."},
            {"budget.xlsx", "Lantern\t30"}, {"slides.pptx", "Letter about the lighthouse"}};
        for (const auto& [name, words] : documents) {
            QVERIFY2(ShowAndWait(name), name);
            QCOMPARE(pane_->content(), Content::Text);
            QVERIFY2(pane_->text().contains(words), qPrintable(pane_->text()));
        }
    }

    void anOldWordDocumentIsReadThroughLibreOffice() {
        if (QStandardPaths::findExecutable("soffice").isEmpty()) QSKIP("LibreOffice is not installed");
        QVERIFY(ShowAndWait("old.doc", 120000));
        QCOMPARE(pane_->content(), Content::Text);
        QVERIFY2(pane_->text().contains("Quarterly heron report"), qPrintable(pane_->text()));
        QCOMPARE(RunningChildren(), 0);
    }

    void archivesListTheirMembers() {
        for (const char* name : {"bundle.zip", "bundle.7z"}) {
            QVERIFY(ShowAndWait(name));
            QCOMPARE(pane_->content(), Content::Text);
            const QString listing = pane_->text();
            QVERIFY2(listing.startsWith(QString(19, '-')), qPrintable(listing));
            QVERIFY2(listing.contains("alpha.txt") && listing.contains("beta.txt"), qPrintable(listing));
            QVERIFY2(listing.contains("2016-12-05"), qPrintable(listing));
        }
    }

    void aFileOfNoKnownKindShowsItsBytes() {
        QVERIFY(ShowAndWait("notes.bin"));
        QCOMPARE(pane_->content(), Content::Text);
        QString expected;
        for (int i = 0; i < 100; ++i) expected += i % 7 == 0 ? QChar('.') : QChar(65 + i % 26);
        QCOMPARE(pane_->text(), expected + "\n");

        QVERIFY(ShowAndWait("plain.dat"));
        const QStringList lines = pane_->text().split('\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0].size(), 1024);
        QCOMPARE(lines[1].size(), 1024);
        QCOMPARE(lines[2].size(), 952);
        QVERIFY(lines[3].isEmpty());
    }

    void damagedFilesShowTheirBytesAndNeverHang() {
        // (Noise named .jpg is on the image too, but the search keeps photos whose content
        // fails its check out of the results.)
        for (const char* name : {"junk.pdf", "junk.docx", "junk.zip", "junk.7z", "cut.pdf",
                                 "cut.docx"}) {
            QVERIFY2(ShowAndWait(name, 30000), name);
            QVERIFY2(pane_->content() == Content::Text, name);
            // The raw view of the file's first bytes, nothing else.
            const QByteArray head = FileHead(name, ui::kRawFileBytes);
            QVERIFY2(!head.isEmpty(), name);
            QCOMPARE(pane_->text(), AsShown(head));
        }
        // A ZIP cut short lists the members it still holds whole.
        QVERIFY(ShowAndWait("cut.zip", 30000));
        QCOMPARE(pane_->content(), Content::Text);
        QVERIFY(pane_->text().startsWith(QString(19, '-')) ? pane_->text().contains("alpha.txt")
                                                           : pane_->text() == AsShown(FileHead("cut.zip", 8192)));
        // A photo cut short still shows what it holds, or its bytes.
        QVERIFY(ShowAndWait("cut.jpg", 30000));
        QVERIFY(pane_->content() == Content::Picture || pane_->content() == Content::Text);
        QCOMPARE(RunningChildren(), 0);
    }

    void aFolderShowsItsMessageAndCopiesNothing() {
        ui::TargetFindings folders = found_;
        folders.records.resize(1);
        folders.records[0].isFolder = 1;
        const size_t before = PreviewFolders();
        QSignalSpy shown(pane_, &ui::PreviewPane::shown);
        pane_->Show(folders, 0);
        QCOMPARE(shown.count(), 1);
        QVERIFY(!pane_->busy());
        QCOMPARE(pane_->content(), Content::Message);
        QCOMPARE(pane_->text(), ui::Msg("MSG0904"));
        QCOMPARE(edit_->document()->firstBlock().blockFormat().alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        QCOMPARE(PreviewFolders(), before);
    }

    void theTemporaryFileGoesWithTheNextPreviewAndWithThePane() {
        QVERIFY(ShowAndWait("photo.jpg"));
        const std::string first = pane_->tempFile();
        QVERIFY(fs::exists(first));
        QVERIFY(ShowAndWait("memo.docx"));
        const std::string second = pane_->tempFile();
        QVERIFY(fs::exists(second));
        QVERIFY(!fs::exists(first));
        QVERIFY(!fs::exists(fs::path(first).parent_path()));
        window_.reset();  // the pane goes with its window, as at the program's end
        QVERIFY(!fs::exists(second));
        QVERIFY(!fs::exists(fs::path(second).parent_path()));
        QCOMPARE(PreviewFolders(), size_t(0));
    }

    void aDecoderThatHangsIsEndedAndTheRawViewShown() {
        qputenv("KESTRUNE_PREVIEW_TEST_HANG", "1");
        pane_->SetTimeLimits(1500, 1500, 1500);
        int ticks = 0;
        QTimer clock;
        connect(&clock, &QTimer::timeout, [&] { ++ticks; });
        clock.start(50);
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(ShowAndWait("photo.jpg", 20000));
        QCOMPARE(pane_->decoder()->timeouts(), 1);
        QCOMPARE(pane_->content(), Content::Text);
        QCOMPARE(pane_->text(), AsShown(FileHead("photo.jpg", ui::kRawFileBytes)));
        // The window went on working meanwhile, and the helper is gone.
        QVERIFY2(ticks >= elapsed.elapsed() / 50 / 2, qPrintable(QString::number(ticks)));
        QVERIFY(WaitFor([] { return RunningChildren() == 0; }, 5000));
    }

    void aNewChoiceSupersedesAPreviewStillBeingPrepared() {
        // Slow copies, so that each request finds the one before it still copying.
        ui::PreviewProcessWnd::SetPieceDelayForTests(20);
        QSignalSpy shown(pane_, &ui::PreviewPane::shown);
        pane_->Show(found_, Index("photo.jpg"));
        QTest::qWait(60);
        pane_->Show(found_, Index("picture.png"));
        QTest::qWait(30);
        pane_->Show(found_, Index("budget.xlsx"));
        QVERIFY(WaitFor([&] { return shown.count() > 0 && !pane_->busy(); }));
        QCOMPARE(shown.count(), 1);
        QCOMPARE(pane_->content(), Content::Text);
        QVERIFY(pane_->text().contains("Lantern"));
        QVERIFY(WaitFor([] { return !QApplication::activeModalWidget(); }, 5000));
        QCOMPARE(PreviewFolders(), size_t(1));  // the superseded copies left nothing behind
    }

    void aCancelledCopyShowsNothingAndLeavesNoFile() {
        ui::PreviewProcessWnd::SetPieceDelayForTests(40);
        pane_->SetWindowDelay(0);
        const size_t before = PreviewFolders();
        bool asked = false;
        WhenShown("PreviewProcessWnd", [&](QWidget* window) {
            QVERIFY(window->findChild<QWidget*>("stage")->property("text").toString().contains("photo.jpg"));
            AnswerBox("okbtn");
            asked = true;
            Click(window, "cancelbtn");
        });
        QSignalSpy shown(pane_, &ui::PreviewPane::shown);
        pane_->Show(found_, Index("photo.jpg"));
        QVERIFY(WaitFor([&] { return shown.count() > 0 && !pane_->busy(); }));
        QVERIFY(asked);
        QCOMPARE(pane_->content(), Content::Nothing);
        QVERIFY(pane_->text().isEmpty());
        QCOMPARE(PreviewFolders(), before);
    }

    void aRunThatGoesBeforeThePaneStopsTheCopyFirst() {
        // The main window drops its targets' runs before its child pane: a copy still
        // running is stopped and waited for, not left reading a run that is gone.
        ui::Target other;
        other.source = target_.source;
        other.run = std::make_unique<ScanRun>(other.source, ScanMode::Quick);
        QCOMPARE(other.run->Start(), kOk);
        ui::TargetFindings findings;
        findings.target = &other;
        std::string error;
        QCOMPARE(other.run->Search(SearchPatternFor({}, {}, error), findings.records), kOk);
        ui::PreviewProcessWnd::SetPieceDelayForTests(30);
        uint32_t photo = 0;
        while (RecordName(findings.records[photo]) != "found-photo.jpg") ++photo;
        pane_->Show(findings, photo);
        QTest::qWait(100);
        QVERIFY(pane_->busy());
        other.run.reset();
        window_.reset();
        QCOMPARE(PreviewFolders(), size_t(0));
    }

    void soundPlaysInThePaneAndADamagedOneSaysSo() {
        pane_->SetTimeLimits(20000, 20000, 4000);
        QVERIFY(ShowAndWait("tone.wav"));
        QCOMPARE(pane_->content(), Content::Player);
        auto* stack = window_->findChild<QStackedWidget*>("PreviewStack");
        QVERIFY(stack);
        QCOMPARE(stack->currentWidget(), static_cast<QWidget*>(pane_->player()));
        const std::string tone = pane_->tempFile();

        // A file of noise named .wav never plays: the box says so, its bytes are shown.
        QString message;
        AnswerBox("okbtn", &message);
        QVERIFY(ShowAndWait("junk.wav"));
        QVERIFY(WaitFor([&] { return !message.isEmpty(); }, 20000));
        QCOMPARE(message, ui::Msg("MSG1207"));
        QCOMPARE(pane_->content(), Content::Text);
        QCOMPARE(stack->currentWidget(), static_cast<QWidget*>(edit_));
        // The player let go of the last sound, which the next copy deleted.
        QVERIFY(!fs::exists(tone));

        // Whether the tone is heard needs a media backend with an audio output.
        QVERIFY(ShowAndWait("tone.wav"));
        QSignalSpy started(pane_->player(), &ui::PreviewPlayer::started);
        QSignalSpy failed(pane_->player(), &ui::PreviewPlayer::failed);
        AnswerBox("okbtn");
        QVERIFY(WaitFor([&] { return started.count() + failed.count() > 0; }, 20000));
        if (failed.count()) QSKIP("the media backend plays no sound here (no audio output on this machine)");
        QVERIFY(pane_->player()->hasStarted());
    }
};

QTEST_MAIN(PreviewPaneTest)
#include "preview_pane_test.moc"

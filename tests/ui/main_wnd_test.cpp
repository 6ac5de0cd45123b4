// The desktop program driven as a user drives it: load an image, scan, tick, recover;
// cancel a scan; answer the stored-pass question; make an image; switch the language.
#include <QCheckBox>
#include <QInputDialog>
#include <QFileInfo>
#include <QFile>
#include <QLabel>
#include <QLibraryInfo>
#include <QTextBrowser>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeView>
#include <QTreeWidget>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <QLockFile>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "app/language_table.h"
#include "disk/disk_inventory.h"
#include "scanlog/file_types.h"
#include "support/sha256.h"
#include "support/test_support.h"
#include "tests/ui/gui_driver.h"
#include "ui/device_refresh.h"
#include "ui/disk_list.h"
#include "ui/found_files_model.h"
#include "ui/main_wnd.h"
#include "ui/message_box.h"
#include "ui/progress_wnd.h"
#include "ui/single_instance.h"
#include "ui/texts.h"

using namespace kestrune;
using namespace kestrune::test;
namespace fs = std::filesystem;

// Whether a disk row's tooltip is about this device: /dev/loop1 is not /dev/loop10,
// which another test may hold meanwhile.
static bool AboutDevice(const QTreeWidgetItem* row, const std::string& device) {
    const std::string tip = row->toolTip(0).toStdString();
    return tip.starts_with(device) &&
           (tip.size() == device.size() || !std::isdigit(static_cast<unsigned char>(tip[device.size()])));
}

class MainWndTest : public QObject {
    Q_OBJECT

private:
    TempDir store_;
    std::unique_ptr<TempDir> work_;
    fs::path image_;

    // A window with one image file loaded and selected, in the mode of modeButton.
    std::unique_ptr<ui::MainWnd> WindowWithImage(const char* modeButton, const fs::path& image) {
        auto window = std::make_unique<ui::MainWnd>();
        window->show();
        QSignalSpy loaded(window.get(), &ui::MainWnd::imageLoaded);
        window->LoadImages({QString::fromStdString(image.string())});
        if (!WaitFor([&] { return loaded.count() == 1; })) return window;
        Click(window.get(), modeButton);
        return window;
    }
    static void TickEverything(ui::MainWnd& window) {
        auto* tree = window.findChild<QTreeWidget*>("TypeTree");
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            tree->setCurrentItem(tree->topLevelItem(i));
            auto* all = window.findChild<QCheckBox*>("ChkAllListSel");
            if (!all->isChecked()) QTest::mouseClick(all, Qt::LeftButton, {}, QPoint(6, all->height() / 2));
        }
    }
    // Every found file is under one type node; a file found in a folder is listed where
    // the folder view puts it, with that folder as its path.
    static void CheckViewsOfRealFindings(ui::MainWnd& window, const char* nested) {
        const ui::TargetFindings& found = window.findings().at(0);
        auto* tree = window.findChild<QTreeWidget*>("TypeTree");
        size_t listed = 0;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            const QString text = tree->topLevelItem(i)->text(0);
            listed += text.mid(text.lastIndexOf('(') + 1).chopped(1).toULongLong();
        }
        QCOMPARE(listed, found.records.size());
        size_t at = 0;
        while (at < found.records.size() && RecordName(found.records[at]) != nested) ++at;
        QVERIFY2(at < found.records.size(), nested);
        const QString folder = found.folders[at];
        QVERIFY(!folder.isEmpty());

        window.findChild<QAbstractButton*>("ViewByFolder")->click();
        auto* folders = window.findChild<QTreeView*>("FolderTree");
        QModelIndex node = folders->model()->index(0, 0);
        for (const QString& part : folder.split('/', Qt::SkipEmptyParts)) {
            QModelIndex child;
            for (int row = 0; row < folders->model()->rowCount(node) && !child.isValid(); ++row)
                if (folders->model()->index(row, 0, node).data(Qt::ToolTipRole).toString() == part)
                    child = folders->model()->index(row, 0, node);
            QVERIFY2(child.isValid(), qPrintable(part));
            node = child;
        }
        folders->setCurrentIndex(node);
        auto* list = window.findChild<QTreeView*>("FileList");
        bool shown = false;
        for (int row = 0; row < list->model()->rowCount(); ++row)
            if (list->model()->index(row, 0).data().toString() == nested) {
                shown = true;
                QCOMPARE(list->model()->index(row, ui::FoundFilesModel::Path).data().toString(), folder);
            }
        QVERIFY(shown);
        window.findChild<QAbstractButton*>("ViewByType")->click();
    }
    // Presses the scan window's cancel as soon as it shows and answers the question with the
    // button labelled answer ("Stop scan" unless told). The worker waits at its next report
    // while the question is open, so a scan that reports at all is stopped there.
    static void CancelAsSoonAsShown(const QString& answer = ui::Msg("MSG0710"), QString* said = nullptr) {
        WhenShown("ScanProcessWnd", [answer, said](QWidget* window) {
            auto* scan = qobject_cast<ui::ProgressWnd*>(window);
            if (scan->workerDone()) return;
            AnswerBoxWith(answer, said);
            Click(scan, "cancelbtn");
        });
    }

private slots:
    void initTestCase() {
        KeepAwayFromTheUser(store_.path());
    }
    void cleanup() { DropPendingActions(); }
    void init() {
        work_ = std::make_unique<TempDir>();
        image_ = UnpackFixture("fat/fat16.img.gz", work_->path());
    }

    void quickScanRecoversTheDeletedFilesByteForByte() {
        auto window = WindowWithImage("BtnDeletedRecovery", image_);
        QCOMPARE(window->currentPage(), int(ui::MainWnd::DiskPage));
        Click(window.get(), "BtnScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        auto* recover = window->findChild<QPushButton*>("BtnRecover");
        QVERIFY(!recover->isEnabled());
        CheckViewsOfRealFindings(*window, "Notes.TXT");
        TickEverything(*window);
        QVERIFY(recover->isEnabled());
        QVERIFY(window->findChild<QLabel*>("SelectedFileInfo")->text() != ui::Msg("MSG0803"));

        const fs::path destination = work_->path() / "out";
        fs::create_directories(destination);
        ChooseFile("RecoverFolderDialog", QString::fromStdString(destination.string()));
        WhenShown("RecoverProcessWnd", [](QWidget* progress) {
            QVERIFY(WaitFor([&] { return progress->findChild<QPushButton*>("FinishBtn")->isVisible(); }));
            Click(progress, "FinishBtn");
        });
        Click(window.get(), "BtnRecover");

        std::ifstream manifest(FixturePath("fat/fat16.json"));
        const auto expected = nlohmann::json::parse(manifest);
        int compared = 0;
        for (const auto& file : expected["deleted"]) {
            if (file["note"] != "") continue;
            const std::string name = file["name"];
            // A name that needed no long entry loses its first letter to the deletion mark,
            // written as "_".
            fs::path recovered = destination / TypeFolderName(name) / name;
            if (!fs::exists(recovered)) recovered = destination / TypeFolderName(name) / ("_" + AsciiLower(name.substr(1)));
            if (!fs::exists(recovered))
                for (const auto& entry : fs::recursive_directory_iterator(work_->path())) qWarning("%s", entry.path().c_str());
            QVERIFY2(fs::exists(recovered), recovered.c_str());
            QCOMPARE(Sha256Hex(ReadFileBytes(recovered)), file["sha256"].get<std::string>());
            ++compared;
        }
        QVERIFY(compared >= 10);
    }

    // The command line scanning other images over and over while the desktop program
    // scans: every scan keeps a folder of its own, and each lists what it found.
    void aScanOnTheCommandLineAtTheSameTimeLosesNothing() {
        const fs::path other = UnpackFixture("ntfs/deleted.img.gz", work_->path());
        std::vector<std::unique_ptr<QProcess>> scans;
        for (int i = 0; i < 4; ++i) {
            scans.push_back(std::make_unique<QProcess>());
            scans.back()->start(KESTRUNE_CLI_PATH, {"scan", QString::fromStdString(other.string())});
        }
        auto window = WindowWithImage("BtnDeletedRecovery", image_);
        Click(window.get(), "BtnScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        const ui::TargetFindings& found = window->findings().at(0);
        const std::string ours = found.target->run->runFolder();
        std::set<std::string> folders{ours};
        for (auto& scan : scans) {
            if (scan->state() != QProcess::NotRunning) QVERIFY(scan->waitForFinished(120000));
            QCOMPARE(scan->exitCode(), 0);
            const QString output = QString::fromUtf8(scan->readAllStandardOutput());
            const QString folder = output.section("scan folder: ", 1).trimmed();
            QVERIFY2(folders.insert(folder.toStdString()).second, qPrintable(output));
        }
        // The desktop program's scan is still whole in its folder: listed there again by
        // the command line, file for file.
        QProcess list;
        list.start(KESTRUNE_CLI_PATH, {"list", "--json", QString::fromStdString(ours)});
        QVERIFY(list.waitForFinished(60000));
        const QStringList lines = QString::fromUtf8(list.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(size_t(lines.size()), found.records.size());
    }

    // A folder on a mount of the very image scanned is refused with a message, before
    // anything is written.
    void aFolderOnAMountOfTheScannedImageIsRefused() {
        if (::geteuid() != 0) QSKIP("needs root to mount the image");
        const fs::path image = UnpackFixture("ntfs/deleted.img.gz", work_->path()), mount = work_->path() / "mnt";
        fs::create_directories(mount);
        if (std::system(("ntfs-3g '" + image.string() + "' '" + mount.string() + "' 2>/dev/null").c_str()) != 0)
            QSKIP("cannot mount NTFS through ntfs-3g here");
        struct Unmount {
            fs::path at;
            ~Unmount() { std::system(("umount '" + at.string() + "'").c_str()); }
        } unmount{mount};
        const auto before = std::distance(fs::directory_iterator(mount), fs::directory_iterator());

        auto window = WindowWithImage("BtnDeletedRecovery", image);
        Click(window.get(), "BtnScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        TickEverything(*window);
        ChooseFile("RecoverFolderDialog", QString::fromStdString(mount.string()));
        QString text;
        bool recovered = false;
        WhenShown("MessageBox", [&text](QWidget* box) {
            text = box->findChild<QWidget*>("message")->property("text").toString();
            // For a person to look at: scripts/screenshots sets this.
            if (const QByteArray shots = qgetenv("KESTRUNE_GUI_SHOTS"); !shots.isEmpty())
                box->grab().save(QString::fromUtf8(shots) + "/destination-refused.png");
            Click(box, "okbtn");
        });
        WhenShown("RecoverProcessWnd", [&recovered](QWidget* progress) {
            recovered = true;
            progress->close();
        });
        Click(window.get(), "BtnRecover");
        QCOMPARE(text, ui::Msg("MSG0805"));
        QVERIFY(!recovered);
        QCOMPARE(std::distance(fs::directory_iterator(mount), fs::directory_iterator()), before);
    }

    // Each file says how much of it is left, with a mark; recovered into the folders it
    // was found in when the destination dialog's choice says so.
    void recoverableMarksAndOriginalFolders() {
        const fs::path image = UnpackFixture("ext/reused.img.gz", work_->path());
        auto window = WindowWithImage("BtnDeletedRecovery", image);
        Click(window.get(), "BtnScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        std::map<QString, QString> shown = ShownFiles(*window);
        const auto manifest = nlohmann::json::parse(std::ifstream(FixturePath("ext/reused.json")));
        for (const auto& file : manifest["files"]) {
            const int share = file["recoverable"];
            const QString name = QString::fromStdString(file["name"].get<std::string>());
            const QString mark = ui::Text("MainWnd", share == 100 ? "TxtGood" : share > 0 ? "TxtPartial" : "TxtOverwritten");
            QCOMPARE(shown[name], QStringLiteral("%1 % ").arg(share) + mark);
        }
        TickEverything(*window);
        const fs::path destination = work_->path() / "kept";
        fs::create_directories(destination);
        WhenShown("RecoverFolderDialog", [destination](QWidget* shownDialog) {
            auto* dialog = qobject_cast<QFileDialog*>(shownDialog);
            auto* keep = dialog->findChild<QCheckBox*>("KeepFolders");
            QVERIFY(keep && keep->isVisible());
            keep->setChecked(true);
            SelectAndAccept(dialog, QString::fromStdString(destination.string()));
        });
        WhenShown("RecoverProcessWnd", [](QWidget* progress) {
            QVERIFY(WaitFor([&] { return progress->findChild<QPushButton*>("FinishBtn")->isVisible(); }));
            Click(progress, "FinishBtn");
        });
        Click(window.get(), "BtnRecover");
        for (const auto& file : manifest["files"])
            if (file["recoverable"] == 100)
                QCOMPARE(Sha256Hex(ReadFileBytes(destination / "Work" / file["name"].get<std::string>())),
                         file["sha256"].get<std::string>());
        QVERIFY(!fs::exists(destination / "others"));
    }

    // The recoverable column of every file listed, by name, over all type nodes.
    static std::map<QString, QString> ShownFiles(ui::MainWnd& window) {
        std::map<QString, QString> shown;
        auto* tree = window.findChild<QTreeWidget*>("TypeTree");
        auto* list = window.findChild<QTreeView*>("FileList");
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            tree->setCurrentItem(tree->topLevelItem(i));
            for (int row = 0; row < list->model()->rowCount(); ++row)
                shown[list->model()->index(row, 0).data().toString()] =
                    list->model()->index(row, ui::FoundFilesModel::Recoverable).data().toString();
        }
        return shown;
    }

    void partitionedImagesShowEveryPartitionWithItsFileSystem() {
        const fs::path image = UnpackFixture("partitioned/dos_chain.img.gz", work_->path());
        auto window = WindowWithImage("BtnDeletedRecovery", image);
        QTreeWidgetItem* row = window->findChild<QTreeWidget*>("DiskList")->currentItem();
        QVERIFY(row);
        QStringList partitions;
        for (int i = 0; i < row->childCount(); ++i) partitions << row->child(i)->text(0) + " " + row->child(i)->text(1);
        QCOMPARE(partitions, QStringList({"1: FAT", "5: ext2", "6: NTFS", "7: ", "8: FAT"}));
    }

    void aVirtualMachineDiskIsLoadedAndScannedAsTheDiskItHolds() {
        const fs::path image = UnpackFixture("containers/disk.vhdx.gz", work_->path());
        auto window = WindowWithImage("BtnDeletedRecovery", image);
        QTreeWidgetItem* row = window->findChild<QTreeWidget*>("DiskList")->currentItem();
        QVERIFY(row);
        QCOMPARE(row->childCount(), 1);
        QCOMPARE(row->child(0)->text(1), QString("FAT"));
        window->findChild<QTreeWidget*>("DiskList")->setCurrentItem(row->child(0));
        Click(window.get(), "BtnScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        QVERIFY(ShownFiles(*window).count("fragmented.bin"));
    }

    void anEncryptedVolumeAsksItsPassphraseAndIsReadDecrypted() {
        const fs::path image = UnpackFixture("luks/luks2.img.gz", work_->path());
        auto window = WindowWithImage("BtnDeletedRecovery", image);
        QTreeWidgetItem* row = window->findChild<QTreeWidget*>("DiskList")->currentItem();
        QVERIFY(row);
        QCOMPARE(row->text(1), QStringLiteral("LUKS2"));
        auto answer = [](const QString& passphrase, QString* asked = nullptr) {
            WhenShown("PassphraseDialog", [passphrase, asked](QWidget* shown) {
                auto* dialog = qobject_cast<QInputDialog*>(shown);
                if (asked) *asked = dialog->labelText();
                QCOMPARE(dialog->textEchoMode(), QLineEdit::Password);
                dialog->setTextValue(passphrase);
                dialog->accept();
            });
        };
        // A wrong passphrase: the user is told, and stays where he was.
        QString said;
        answer("wrong");
        WhenShown("MessageBox", [&said](QWidget* box) {
            said = box->findChild<QLabel*>("message")->text();
            Click(box, "okbtn");
        });
        Click(window.get(), "BtnScan");
        QVERIFY2(said.contains("passphrase opens none of its key slots"), qPrintable(said));
        QCOMPARE(window->currentPage(), int(ui::MainWnd::DiskPage));
        QString asked;
        answer("correct horse battery staple", &asked);
        Click(window.get(), "BtnScan");
        QVERIFY(asked.contains("LUKS2"));
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        QVERIFY(ShownFiles(*window).count("fragmented.bin"));
    }

    void anAreaWithTwoFileSystemsAsksWhichOneToRead() {
        // The NTFS partition of the chain with an ext2 superblock in its boot area.
        const auto chain = ReadFileBytes(UnpackFixture("partitioned/dos_chain.img.gz", work_->path()));
        std::vector<uint8_t> area(chain.begin() + 30720 * 512, chain.begin() + (30720 + 16384) * 512);
        std::copy_n(chain.begin() + 20480 * 512 + 1024, 1024, area.begin() + 1024);
        const fs::path image = work_->path() / "two.img";
        WriteFileBytes(image, area);
        auto window = WindowWithImage("BtnDeletedRecovery", image);
        QTreeWidgetItem* row = window->findChild<QTreeWidget*>("DiskList")->currentItem();
        QVERIFY(row);
        QCOMPARE(row->text(1), QStringLiteral("NTFS / ext2"));
        QStringList offered;
        WhenShown("ChooseFileSystemDialog", [&offered](QWidget* shown) {
            auto* dialog = qobject_cast<QInputDialog*>(shown);
            offered = dialog->comboBoxItems();
            dialog->setTextValue("NTFS");
            dialog->accept();
        });
        Click(window.get(), "BtnScan");
        QCOMPARE(offered, QStringList({"NTFS", "ext2"}));
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        QVERIFY(ShownFiles(*window).count("tone.wav"));
        // Read as ext2, the area gives none of the NTFS volume's files.
        Click(window.get(), "TabScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::DiskPage));
        WhenShown("ChooseFileSystemDialog", [](QWidget* shown) {
            auto* dialog = qobject_cast<QInputDialog*>(shown);
            dialog->setTextValue("ext2");
            dialog->accept();
        });
        AnswerBox("okbtn");
        Click(window.get(), "BtnScan");
        QVERIFY(!ShownFiles(*window).count("tone.wav"));
    }

    void lostPartitionsAreFoundAndScannedLikePartitions() {
        // A disk image whose GPT was wiped: one row, the whole image.
        const fs::path image = UnpackFixture("partitioned/gpt_wiped.img.gz", work_->path());
        auto window = WindowWithImage("BtnDeletedRecovery", image);
        auto* list = window->findChild<QTreeWidget*>("DiskList");
        QTreeWidgetItem* row = list->currentItem();
        QVERIFY(row);
        QCOMPARE(row->childCount(), 0);
        auto* find = window->findChild<QPushButton*>("BtnFindVolumes");
        QVERIFY(find->isVisible());
        QCOMPARE(find->text(), ui::Text("MainWnd", "BtnFindVolumes"));
        Click(window.get(), "BtnFindVolumes");
        QVERIFY(WaitFor([&] { return row->childCount() == 5; }));
        QVERIFY(find->isEnabled());
        QStringList systems;
        for (int i = 0; i < row->childCount(); ++i) {
            QVERIFY(row->child(i)->text(0).contains(ui::Text("MainWnd", "TxtFoundVolume")));
            systems << row->child(i)->text(1);
        }
        QCOMPARE(systems, QStringList({"NTFS", "FAT32", "exFAT", "ext4", "swap"}));
        QVERIFY(row->child(3)->text(0).endsWith("GPTEXT4"));
        // The lost ext4 volume's deleted files come back with their names, as from a
        // partition in a table.
        list->setCurrentItem(row->child(3));
        Click(window.get(), "BtnScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        const auto shown = ShownFiles(*window);
        QVERIFY(shown.count("contract.pdf"));
        QVERIFY(shown.count("scan.bmp"));

        // A formatted scan of the whole disk, without searching first: each volume is a
        // folder of its own, the ext4 one's deleted files in it by name.
        auto whole = WindowWithImage("BtnFormattedRecovery", image);
        Click(whole.get(), "BtnScan");
        QCOMPARE(whole->currentPage(), int(ui::MainWnd::ResultsPage));
        CheckViewsOfRealFindings(*whole, "scan.bmp");
        const ui::TargetFindings& found = whole->findings().at(0);
        QSet<QString> volumes;
        for (const QString& folder : found.folders) volumes << folder.section('/', 0, 0);
        QCOMPARE(volumes.size(), 4);
        QVERIFY(volumes.contains("GPTEXT4 (ext4 at sector 120832)"));
        whole->findChild<QAbstractButton*>("ViewByFolder")->click();
    }

    void existingFilesAreListedWhenTheBoxIsTicked() {
        const fs::path image = UnpackFixture("exfat/card.img.gz", work_->path());
        const auto manifest = nlohmann::json::parse(std::ifstream(FixturePath("exfat/card.json")));
        QStringList live;
        for (const auto& file : manifest["files"])
            if (file["state"] == "live") live << QString::fromStdString(file["name"].get<std::string>());
        QVERIFY(!live.isEmpty());
        for (const bool ticked : {false, true}) {
            auto window = WindowWithImage("BtnDeletedRecovery", image);
            auto* box = window->findChild<QCheckBox*>("ChkExistingFiles");
            QVERIFY(box->isVisible());
            QCOMPARE(box->text(), ui::Text("MainWnd", "ChkExistingFiles"));
            box->setChecked(ticked);
            Click(window.get(), "BtnScan");
            QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
            const auto shown = ShownFiles(*window);
            for (const QString& name : live) {
                QCOMPARE(shown.count(name), size_t(ticked ? 1 : 0));
                if (ticked) QCOMPARE(shown.at(name), QStringLiteral("100 % ") + ui::Text("MainWnd", "TxtExisting"));
            }
        }
        // Other modes read more than the file system: the box is for the quick scan only.
        auto window = WindowWithImage("BtnDeepRecovery", image);
        QVERIFY(!window->findChild<QCheckBox*>("ChkExistingFiles")->isVisible());
    }

    void aStoppedFormattedScanSaysWhereItStoppedAndIsContinuedLater() {
        const fs::path camera = UnpackFixture("fat/camera.img.gz", work_->path());
        auto window = WindowWithImage("BtnFormattedRecovery", camera);
        QString stopQuestion;
        CancelAsSoonAsShown(ui::Msg("MSG0710"), &stopQuestion);
        Click(window.get(), "BtnScan");
        QCOMPARE(stopQuestion, ui::Msg("MSG0709"));
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        QVERIFY(window->findChild<QPushButton*>("TabRecover")->isEnabled());
        // The banner says the scan was stopped, and where, not that it finished.
        auto* banner = window->findChild<QLabel*>("Txt1");
        QVERIFY2(banner->text().startsWith(ui::Msg("MSG0712").section('%', 0, 0)), qPrintable(banner->text()));
        QCOMPARE(banner->toolTip(), ui::Msg("MSG0713"));

        // A pass stopped once it had begun is stored: the next scan asks whether to go on
        // with it, and goes on to the end. (This card's pass is short: a stop may come
        // before it began, and then nothing is asked, or in its last step, after it was
        // stored whole, and then its results are offered.)
        QString asked;
        Click(window.get(), "BtnPrev");
        WhenShown("MessageBox", [&asked](QWidget* box) {
            asked = box->findChild<QWidget*>("message")->property("text").toString();
            for (auto* button : box->findChildren<QPushButton*>())
                if (button->isVisible() && (button->text() == ui::Msg("MSG1212") || button->text() == ui::Msg("MSG1216")))
                    return button->click();
        });
        Click(window.get(), "BtnScan");
        QVERIFY2(asked.isEmpty() || asked == ui::Msg("MSG1206") || asked == ui::Msg("MSG1214"), qPrintable(asked));
        DropPendingActions();  // the answer to a question that was not asked
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        QCOMPARE(banner->text(), ui::Msg("MSG0801"));
        const auto count = [&window] {
            size_t found = 0;
            for (const auto& findings : window->findings()) found += findings.records.size();
            return found;
        };
        const size_t found = count();
        QVERIFY2(found >= 400, qPrintable(QString::number(found)));

        // A scan that reached its end is not offered to be continued: its results are, or a
        // new scan.
        for (const char* answer : {"MSG1215", "MSG1216"}) {
            asked.clear();
            Click(window.get(), "BtnPrev");
            AnswerBoxWith(ui::Msg(answer), &asked);
            Click(window.get(), "BtnScan");
            QVERIFY2(asked == ui::Msg("MSG1214"), qPrintable(QString(answer) + ": " + asked));
            QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
            QCOMPARE(count(), found);
        }
    }

    void keepScanningGoesOnToTheEnd() {
        auto window = WindowWithImage("BtnDeletedRecovery", image_);
        QString asked;
        CancelAsSoonAsShown(ui::Msg("MSG0711"), &asked);
        Click(window.get(), "BtnScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        // The scan may have ended before its first report was shown: then nothing was asked.
        QVERIFY2(asked.isEmpty() || asked == ui::Msg("MSG0709"), qPrintable(asked));
        QCOMPARE(window->findChild<QLabel*>("Txt1")->text(), ui::Msg("MSG0801"));
    }

    void aFileThatIsNoDiskImageIsRefusedWithAMessage() {
        ui::MainWnd window;
        const fs::path text = work_->path() / "notes.img";
        std::ofstream(text) << "not a disk";
        QString said;
        AnswerBox("okbtn", &said);
        QSignalSpy loaded(&window, &ui::MainWnd::imageLoaded);
        window.LoadImages({QString::fromStdString(text.string())});
        QVERIFY(WaitFor([&] { return loaded.count() == 1; }));
        QCOMPARE(loaded.front().front().toBool(), false);
        QVERIFY(WaitFor([&] { return !said.isEmpty(); }));
        QVERIFY(said.contains("notes.img"));
        QVERIFY(!window.findChild<QTreeWidget*>("DiskList")->currentItem());
    }

    void aDestinationThatFillsUpListsEachFailureAndGoesOn() {
        if (geteuid() != 0) QSKIP("needs root to mount a small tmpfs");
        const fs::path small = work_->path() / "small";
        fs::create_directories(small);
        if (std::system(("mount -t tmpfs -o size=16k tmpfs " + small.string()).c_str()) != 0) QSKIP("no tmpfs");
        auto window = WindowWithImage("BtnDeletedRecovery", image_);
        Click(window.get(), "BtnScan");
        TickEverything(*window);
        const size_t ticked = window->ticked().size();
        int failedRows = 0, rows = 0;
        bool redOnTop = false;
        ChooseFile("RecoverFolderDialog", QString::fromStdString(small.string()));
        WhenShown("RecoverProcessWnd", [&](QWidget* progress) {
            QVERIFY(WaitFor([&] { return progress->findChild<QPushButton*>("FinishBtn")->isVisible(); }));
            auto* list = progress->findChild<QTreeWidget*>("DetailList");
            QVERIFY(list->isVisible());  // failures open the list by themselves
            rows = list->topLevelItemCount();
            for (int i = 0; i < rows; ++i)
                failedRows += list->topLevelItem(i)->foreground(0).color() == QColor(0xFF, 0, 0);
            redOnTop = rows > 0 && list->topLevelItem(0)->foreground(0).color() == QColor(0xFF, 0, 0);
            Click(progress, "FinishBtn");
        });
        Click(window.get(), "BtnRecover");
        std::system(("umount " + small.string()).c_str());
        QCOMPARE(size_t(rows), ticked);  // every file has its row: the job went on
        QVERIFY(failedRows > 0);
        QVERIFY(failedRows < rows);
        QVERIFY(redOnTop);
    }

    void checkBoxesLinkToRecoverAllAndStart() {
        ui::MainWnd window;
        auto* all = window.findChild<QCheckBox*>("ChkRecoverAll");
        auto* start = window.findChild<QPushButton*>("BtnStart");
        const char* names[] = {"ChkPhoto", "ChkMusic", "ChkVideo", "ChkOffice", "ChkArchive", "ChkOther"};
        QCOMPARE(all->checkState(), Qt::Checked);
        window.findChild<QCheckBox*>("ChkPhoto")->click();
        QCOMPARE(all->checkState(), Qt::PartiallyChecked);
        QVERIFY(start->isEnabled());
        for (const char* name : names)
            if (window.findChild<QCheckBox*>(name)->isChecked()) window.findChild<QCheckBox*>(name)->click();
        QCOMPARE(all->checkState(), Qt::Unchecked);
        QVERIFY(!start->isEnabled());
        all->click();
        for (const char* name : names) QVERIFY(window.findChild<QCheckBox*>(name)->isChecked());
        QVERIFY(start->isEnabled());
        // A half-selected box ticks everything when clicked.
        window.findChild<QCheckBox*>("ChkVideo")->click();
        all->click();
        QCOMPARE(all->checkState(), Qt::Checked);
        QVERIFY(window.findChild<QCheckBox*>("ChkVideo")->isChecked());
    }

    void escapeNeverConfirmsAndOkOnlyBoxesAcknowledge() {
        for (int kind : {int(ui::MessageBox::Confirm), int(ui::MessageBox::Question), int(ui::MessageBox::Warning),
                         int(ui::MessageBox::Error), int(ui::MessageBox::Information), 9}) {
            WhenShown("MessageBox", [](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); });
            const int result = ui::MessageBox::Show(kind, nullptr, "text");
            const bool hasWayBack = kind == ui::MessageBox::Confirm || kind == ui::MessageBox::Question ||
                                    kind == ui::MessageBox::Warning;
            QCOMPARE(result, hasWayBack ? 2 : 1);
        }
        WhenShown("MessageBox", [](QWidget* box) {
            QTest::keyClick(box, Qt::Key_Return);  // Enter does nothing
            Click(box, "okbtn");
        });
        QCOMPARE(ui::MessageBox::Show(ui::MessageBox::Question, nullptr, "text"), 1);
    }

    void theImageFlowRefusesBadDestinationsThenCopies() {
        LoopDevice loop(image_);
        if (loop.device().empty()) QSKIP("needs root and loop devices");
        ui::MainWnd window;
        window.show();
        QSignalSpy listed(&window, &ui::MainWnd::disksListed);
        QVERIFY(WaitFor([&] { return listed.count() == 1; }));
        auto* list = window.findChild<QTreeWidget*>("DiskList");
        // The whole loop disk: its header row.
        for (QTreeWidgetItemIterator it(list); *it; ++it)
            if ((*it)->childCount() == 0 && AboutDevice(*it, loop.device()))
                list->setCurrentItem((*it)->parent());
        QVERIFY(list->currentItem());
        Click(&window, "BtnCreateImageMode");
        QVERIFY(window.imageMode());
        QVERIFY(!window.findChild<QPushButton*>("BtnScan")->isVisible());

        const fs::path link = work_->path() / "link.img";
        fs::create_symlink(work_->path() / "victim", link);
        const fs::path small = work_->path() / "small";
        fs::create_directories(small);
        const bool mounted = std::system(("mount -t tmpfs -o size=1m tmpfs " + small.string()).c_str()) == 0;
        const fs::path copy = work_->path() / "copy.img";
        QStringList said;
        // Answers one save dialog with path, then the box that refuses it.
        std::function<void(std::vector<fs::path>)> answer = [&](std::vector<fs::path> paths) {
            const fs::path path = paths.front();
            paths.erase(paths.begin());
            WhenShown("SaveImageDialog", [&, path, paths](QWidget* dialog) {
                if (!paths.empty()) {
                    WhenShown("MessageBox", [&, paths](QWidget* box) {
                        said << box->findChild<QLabel*>("message")->text();
                        answer(paths);
                        Click(box, "okbtn");
                    });
                } else {
                    AnswerBox("cancelbtn");  // do not scan the copy now
                }
                SelectAndAccept(static_cast<QFileDialog*>(dialog), QString::fromStdString(path.string()));
            });
        };
        std::vector<fs::path> paths = {link};
        if (mounted) paths.push_back(small / "full.img");
        paths.push_back(copy);
        answer(paths);
        Click(&window, "BtnCreateImage");
        if (mounted) std::system(("umount " + small.string()).c_str());
        QCOMPARE(said.size(), mounted ? 2 : 1);
        QVERIFY(said[0].contains("link"));
        if (mounted) QCOMPARE(said[1], ui::Msg("MSG0221"));
        QVERIFY(!fs::exists(work_->path() / "victim"));
        QVERIFY(fs::exists(copy));
        QCOMPARE(fs::file_size(copy), fs::file_size(image_));
        QVERIFY(ReadFileBytes(copy) == ReadFileBytes(image_));
    }

    // An image chosen on the scan page, then the copy page, which hides images: nothing
    // there shows or acts on the image; what the page shows as chosen is what is copied.
    void theCopyPageNeverActsOnAHiddenImage() {
        auto window = WindowWithImage("BtnDeletedRecovery", image_);
        auto* list = window->findChild<ui::DiskList*>("DiskList");
        for (QTreeWidgetItemIterator it(list); *it; ++it)
            if (const ui::Target* t = ui::DiskList::TargetOf(*it); t && t->isImage && (*it)->childCount() == 0)
                list->setCurrentItem(*it);
        QVERIFY(list->ChosenRow() && ui::DiskList::TargetOf(list->ChosenRow())->isImage);
        Click(window.get(), "BtnPrev");
        Click(window.get(), "BtnCreateImageMode");
        QVERIFY(window->imageMode());
        QTreeWidgetItem* chosen = list->ChosenRow();
        for (const ui::Target* t : ui::DiskList::TargetsOf(chosen)) QVERIFY(!t->isImage);
        const QString name = QString::fromStdString(image_.filename().string());
        for (const char* label : {"Label1", "Label2", "Label3", "Label4", "Label5", "Label6"})
            QVERIFY2(!window->findChild<QLabel*>(label)->text().contains(name), label);
        auto* create = window->findChild<QPushButton*>("BtnCreateImage");
        if (!chosen) {
            QVERIFY(!create->isEnabled());
            return;
        }
        QString proposed;
        WhenShown("SaveImageDialog", [&](QWidget* dialog) {
            for (auto* field : dialog->findChildren<QLineEdit*>()) proposed += field->text();
            static_cast<QDialog*>(dialog)->reject();
        });
        Click(window.get(), "BtnCreateImage");
        QVERIFY(WaitFor([&] { return !proposed.isEmpty(); }));
        QVERIFY2(!proposed.contains(QFileInfo(name).completeBaseName()), qPrintable(proposed));
    }
    // Every text a user sees fits its control at the window's first size, in each language:
    // a label or button narrower than its text cuts it off.
    void everyVisibleTextFitsInEachLanguage() {
        auto window = WindowWithImage("BtnDeletedRecovery", image_);
        window->resize(1000, 650);
        auto* languages = window->findChild<QMenu*>("menu_assist")->findChild<QMenu*>("item_language");
        const auto clipped = [&window] {
            QStringList cut;
            QTest::qWait(50);  // the layouts settle after a page or a language changes
            // Texts too long for the window push it past its first size: cut off on a
            // screen that size.
            const QSize least = window->minimumSizeHint().expandedTo(window->minimumSize());
            if (least.width() > 1000 || least.height() > 650)
                cut << QString("the window needs %1 x %2").arg(least.width()).arg(least.height());
            for (QWidget* widget : window->findChildren<QWidget*>()) {
                if (!widget->isVisible() || widget->window() != window.get()) continue;
                QString text;
                if (auto* label = qobject_cast<QLabel*>(widget)) {
                    // Wrapped and rich texts flow; a text cut on purpose shows whole in its tooltip.
                    if (label->wordWrap() || Qt::mightBeRichText(label->text()) || label->toolTip() == label->text()) continue;
                    text = label->text();
                } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                    text = button->text();
                }
                if (!text.isEmpty() && widget->width() + 1 < widget->minimumSizeHint().width())
                    cut << widget->objectName() + ": " + text;
            }
            return cut;
        };
        const auto check = [&clipped](const QString& where) {
            const QStringList cut = clipped();
            QVERIFY2(cut.isEmpty(), qPrintable(where + ": " + cut.join(" | ")));
        };
        for (const char* language : {"English", "French", "German", "Spanish"}) {
            languages->findChild<QAction*>(language)->trigger();
            for (const char* mode : {"BtnDeletedRecovery", "BtnFormattedRecovery", "BtnDeepRecovery"}) {
                while (window->currentPage() != int(ui::MainWnd::StartPage)) Click(window.get(), "BtnPrev");
                check(QString(language) + " start page");
                Click(window.get(), mode);
                check(QString(language) + " disk page, " + mode);
            }
            Click(window.get(), "TabFileType");
            check(QString(language) + " file types");
            // A quick scan: it stores no pass whose question the next language would meet.
            while (window->currentPage() != int(ui::MainWnd::StartPage)) Click(window.get(), "BtnPrev");
            Click(window.get(), "BtnDeletedRecovery");
            Click(window.get(), "BtnScan");
            QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
            check(QString(language) + " results");
        }
        languages->findChild<QAction*>("English")->trigger();
    }

    void languageSwitchChangesVisibleTexts() {
        ui::MainWnd window;
        window.show();
        auto* scan = window.findChild<QPushButton*>("BtnScan");
        const QString english = scan->text();
        auto* menu = window.findChild<QMenu*>("menu_assist");
        QAction* german = menu->findChild<QMenu*>("item_language")->findChild<QAction*>("German");
        QVERIFY(german);
        german->trigger();
        QVERIFY(scan->text() != english);
        QCOMPARE(scan->text(), ui::Text("MainWnd", "BtnScan"));
        QVERIFY(german->isChecked());
        // Qt's own dialogs, times and numbers follow: no "Cancel" or "Sec" left in English.
        QCOMPARE(ui::DurationText(92), QString("1 Min. 32 Sek."));
        QCOMPARE(ui::SizeText(1536), QString("1,50 KB"));
        if (QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_de.qm"))
            QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("Abbrechen"));
        menu->findChild<QMenu*>("item_language")->findChild<QAction*>("English")->trigger();
        QCOMPARE(scan->text(), english);
        QCOMPARE(ui::DurationText(92), QString("1 min 32 s"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("Cancel"));
    }

    void hotPlugRefreshFollowsTheWatchersReports() {
        if (geteuid() != 0) QSKIP("needs root and loop devices");
        // No other test process holds a loop device from here on: the first listing
        // cannot show one of theirs under the number this test's device will take.
        LoopDevice loop;
        // A device another test detached is gone once the kernel frees it, which a probe
        // that still holds it open delays: the first listing waits for that.
        // Only the tests' own images (in /tmp) are waited for, never the machine's devices.
        WaitFor([] {
            for (const auto& entry : fs::directory_iterator("/sys/block")) {
                std::ifstream in(entry.path() / "loop" / "backing_file");
                std::string backing;
                if (std::getline(in, backing) && backing.rfind("/tmp/", 0) == 0) return false;
            }
            return true;
        }, 30000);
        ui::MainWnd window;
        // Only the reports this test hands over may refresh the list.
        window.deviceRefresh()->StopWatching();
        QSignalSpy listed(&window, &ui::MainWnd::disksListed);
        QVERIFY(WaitFor([&] { return listed.count() == 1; }));
        auto* list = window.findChild<QTreeWidget*>("DiskList");
        loop.Attach(image_);
        if (loop.device().empty()) QSKIP("no loop devices");
        const std::string device = loop.device();
        auto hasLoop = [&] {
            for (QTreeWidgetItemIterator it(list); *it; ++it)
                if (AboutDevice(*it, device)) return true;
            return false;
        };
        QVERIFY(!hasLoop());
        QSignalSpy refreshed(window.deviceRefresh(), &ui::DeviceRefresh::refreshed);
        window.deviceRefresh()->SetDelay(50);
        // A burst of reports gives one refresh after the quiet time.
        window.deviceRefresh()->Notify(DeviceWatcher::Change::Arrived, device);
        window.deviceRefresh()->Notify(DeviceWatcher::Change::Arrived, device + "p1");
        QVERIFY(WaitFor([&] { return refreshed.count() == 1; }));
        QTest::qWait(200);
        QCOMPARE(refreshed.count(), 1);
        QVERIFY(hasLoop());
        loop.Detach();
        window.deviceRefresh()->Notify(DeviceWatcher::Change::Removed, device);
        QVERIFY(WaitFor([&] { return refreshed.count() == 2; }));
        QVERIFY(!hasLoop());
    }

    // F1 shows the user guide inside the program, with no browser needed; Ctrl+F goes to
    // the filter's name field on the results page; Ctrl+Q closes the window.
    void theKeysPeopleTryFirstWork() {
        auto window = WindowWithImage("BtnDeletedRecovery", image_);
        QTest::keyClick(window.get(), Qt::Key_F1);
        QVERIFY(WaitFor([&] { return window->findChild<QDialog*>("GuideWnd") != nullptr; }));
        auto* guide = window->findChild<QDialog*>("GuideWnd");
        QVERIFY(guide->isVisible());
        const QString text = guide->findChild<QTextBrowser*>("GuideText")->toPlainText();
        QVERIFY2(text.contains("Kestrune Halvardine") && text.size() > 1000, qPrintable(text.left(200)));
        guide->close();
        Click(window.get(), "BtnScan");
        QCOMPARE(window->currentPage(), int(ui::MainWnd::ResultsPage));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
        auto* name = window->findChild<QLineEdit*>("FilterName");
        QVERIFY(WaitFor([&] { return window->focusWidget() == name; }, 5000));
        QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(WaitFor([&] { return !window->isVisible(); }, 5000));
    }

    // --help answers in the terminal, without a display; an unknown option is refused
    // rather than opened as an image.
    void helpIsPrintedAndAnUnknownOptionRefusedWithoutAWindow() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(display);
        for (const auto& [option, code] : {std::pair{"--help", 0}, {"--no-such-option", 2}}) {
            QProcess gui;
            gui.setProcessEnvironment(environment);
            gui.start(KESTRUNE_GUI_PATH, {option});
            QVERIFY(gui.waitForFinished(20000));
            QCOMPARE(gui.exitCode(), code);
            const QString said = code == 0 ? gui.readAllStandardOutput() : gui.readAllStandardError();
            QVERIFY2(said.contains("Usage: kestrune-gui [IMAGE...]"), qPrintable(said));
        }
    }

    void aSecondStartHandsItsImagesToTheFirstAndExits() {
        ui::SingleInstance first("kestrune-gui-test");
        QCOMPARE(first.Claim({}), ui::SingleInstance::Outcome::First);
        QStringList handed;
        connect(&first, &ui::SingleInstance::activationRequested, this, [&](const QStringList& images) { handed = images; });
        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KESTRUNE_INSTANCE_NAME", "kestrune-gui-test");
        second.setProcessEnvironment(environment);
        second.start(KESTRUNE_GUI_PATH, {QString::fromStdString(image_.string())});
        QVERIFY(WaitFor([&] { return second.state() == QProcess::NotRunning; }));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(handed, QStringList{QString::fromStdString(image_.string())});

        // A lock held by a live process that does not answer: the user is told.
        QLockFile held(ui::SingleInstance::RuntimeFolder() + "/kestrune-gui-mute.lock");
        QVERIFY(held.tryLock(0));
        ui::SingleInstance mute("kestrune-gui-mute");
        QCOMPARE(mute.Claim({}, 200), ui::SingleInstance::Outcome::NoAnswer);
    }

    void aStaleLockOfACrashedRunIsTakenOver() {
        // A real run that takes the lock and is killed outright.
        QProcess crashed;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KESTRUNE_INSTANCE_NAME", "kestrune-gui-stale");
        crashed.setProcessEnvironment(environment);
        const QString lock = ui::SingleInstance::RuntimeFolder() + "/kestrune-gui-stale.lock";
        // Killed once it holds the lock whole (its socket comes after): killed while it
        // writes the lock, it would leave a lock that says no process.
        const QString socket = ui::SingleInstance::RuntimeFolder() + "/kestrune-gui-stale.socket";
        QFile::remove(socket);
        crashed.start(KESTRUNE_GUI_PATH, {});
        QVERIFY(WaitFor([&] { return QFile::exists(socket); }));
        crashed.kill();
        crashed.waitForFinished();
        QVERIFY(QFile::exists(lock));
        ui::SingleInstance instance("kestrune-gui-stale");
        QCOMPARE(instance.Claim({}, 200), ui::SingleInstance::Outcome::First);
    }
};

QTEST_MAIN(MainWndTest)
#include "main_wnd_test.moc"

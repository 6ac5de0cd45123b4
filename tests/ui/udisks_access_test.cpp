// Disks a user may not open, asked of UDisks2 as the desktop program asks: a fake service
// on a private bus hands out a descriptor (which the core then reads through) or refuses
// as polkit does, and the user is told why.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <fstream>

#include "base/result_codes.h"
#include "disk/block_devices.h"
#include "support/test_support.h"
#include "tests/ui/gui_driver.h"
#include "ui/main_wnd.h"
#include "ui/texts.h"
#include "ui/udisks_access.h"

using namespace kestrune;

class UdisksAccessTest : public QObject {
    Q_OBJECT

private:
    QProcess bus_;
    QProcess service_;
    test::TempDir dir_;
    std::filesystem::path image_;

    // A private bus, set as the system bus before anything connects to it. Any user may
    // connect, as on the real system bus: the window's test runs as an ordinary user.
    bool StartBus() {
        const std::filesystem::path config = dir_ / "bus.conf";
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                                 "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                                 "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>";
        bus_.start("dbus-daemon", {"--config-file=" + QString::fromStdString(config.string()), "--nofork",
                                   "--print-address=1"});
        if (!bus_.waitForStarted() || !bus_.waitForReadyRead(10000)) return false;
        const QByteArray address = bus_.readLine().trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        return !address.isEmpty();
    }
    bool StartService(const char* answer, const std::string& device = {}, const char* health = "sound") {
        service_.start("/usr/bin/python3", {QString(KESTRUNE_FAKE_UDISKS), qgetenv("DBUS_SYSTEM_BUS_ADDRESS"),
                                            answer, QString::fromStdString(device.empty() ? image_.string() : device),
                                            health});
        return service_.waitForStarted() && service_.waitForReadyRead(10000) && service_.readLine().trimmed() == "ready";
    }
    void StopService() {
        service_.kill();
        service_.waitForFinished();
    }

    // The main window as a user without rights meets it: the disk's row says that reading
    // it needs rights, Scan asks UDisks2 (granted: the scan reads through the descriptor
    // and lists the deleted files; refused: the user is told and nothing is scanned; a
    // service that hangs: the user is told within seconds; a password nobody gives: the
    // user is told what is awaited and gives up).
    void scanOfTheWindow(const std::string& answer) {
        std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
        const std::filesystem::path disk = test::UnpackFixture("fat/fat16.img.gz", dir_.path());
        test::LoopDevice loop(disk);
        if (loop.device().empty()) QSKIP("needs root and loop devices");
        QVERIFY(StartService(answer.c_str(), loop.device()));
        QVERIFY(::setegid(65534) == 0 && ::seteuid(65534) == 0);
        struct BackToRoot {
            ~BackToRoot() { (void)!::seteuid(0), (void)!::setegid(0); }
        } backToRoot;
        test::KeepAwayFromTheUser(dir_.path());
        ui::MainWnd window;
        window.show();
        QSignalSpy listed(&window, &ui::MainWnd::disksListed);
        QVERIFY(test::WaitFor([&] { return listed.count() >= 1; }));
        auto* list = window.findChild<QTreeWidget*>("DiskList");
        for (QTreeWidgetItemIterator it(list); *it; ++it)
            if ((*it)->childCount() == 0 && (*it)->toolTip(0).toStdString().starts_with(loop.device()))
                list->setCurrentItem(*it);
        QVERIFY(list->currentItem() && list->currentItem()->childCount() == 0);
        auto* rights = window.findChild<QLabel*>("LabelRights");
        QVERIFY(!rights->isHidden());
        QCOMPARE(rights->text(), ui::Msg("MSG0513"));
        test::Click(&window, "BtnDeletedRecovery");
        const QString device = QString::fromStdString(loop.device());
        QString told, waitingFor;
        if (answer == "refuse" || answer == "silent") test::AnswerBox("okbtn", &told);
        if (answer == "wait")
            test::WhenShown("UdisksWaitDialog", [&](QWidget* dialog) {
                waitingFor = dialog->findChild<QLabel*>()->text();
                QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
            });
        QElapsedTimer clock;
        clock.start();
        test::Click(&window, "BtnScan");
        if (answer == "refuse") {
            QCOMPARE(window.currentPage(), int(ui::MainWnd::DiskPage));
            QCOMPARE(told, ui::FormatText(ui::Msg("MSG0511"), {device}));
        } else if (answer == "silent") {
            QCOMPARE(window.currentPage(), int(ui::MainWnd::DiskPage));
            QCOMPARE(told, ui::FormatText(ui::Msg("MSG0515"), {device, QString::number(ui::UdisksAccess::kResolveMs / 1000)}));
            // Told within seconds, not after minutes of a window that takes no input.
            QVERIFY2(clock.elapsed() < 3 * ui::UdisksAccess::kResolveMs, qPrintable(QString::number(clock.elapsed())));
        } else if (answer == "wait") {
            QCOMPARE(waitingFor, ui::FormatText(ui::Msg("MSG0516"), {device}));
            QCOMPARE(window.currentPage(), int(ui::MainWnd::DiskPage));
            QVERIFY(window.findings().empty());
            QVERIFY(window.isEnabled());
        } else {
            QCOMPARE(window.currentPage(), int(ui::MainWnd::ResultsPage));
            QVERIFY(!window.findings().empty() && !window.findings().front().records.empty());
            QVERIFY(rights->isHidden());
        }
        window.close();
    }

    // The main window with the loop device's disk row chosen in the given mode.
    static QTreeWidgetItem* ChooseDisk(ui::MainWnd& window, const std::string& device) {
        QSignalSpy listed(&window, &ui::MainWnd::disksListed);
        if (!test::WaitFor([&] { return listed.count() >= 1; })) return nullptr;
        auto* list = window.findChild<QTreeWidget*>("DiskList");
        for (QTreeWidgetItemIterator it(list); *it; ++it)
            if ((*it)->childCount() == 0 && (*it)->toolTip(0).toStdString().starts_with(device)) list->setCurrentItem(*it);
        return list->currentItem();
    }

private slots:
    void initTestCase() {
        image_ = test::UnpackFixture("boot/fat16.img.gz", dir_.path());
        QVERIFY2(StartBus(), "dbus-daemon could not be started");
    }
    void cleanup() {
        test::DropPendingActions();
        StopService();
    }
    void cleanupTestCase() {
        bus_.kill();
        bus_.waitForFinished();
    }

    void aGrantedDescriptorIsReadThrough() {
        QVERIFY(StartService("grant"));
        ui::UdisksAccess access;
        QSignalSpy done(&access, &ui::UdisksAccess::finished);
        access.Request("/dev/fake-granted");
        QVERIFY(done.wait(20000));
        QCOMPARE(done.first().at(1).toBool(), true);
        QVERIFY(HasAdoptedDescriptor("/dev/fake-granted"));
        int fd = -1;
        uint64_t size = 0;
        QCOMPARE(OpenReadOnly("/dev/fake-granted", fd, size), kOk);
        const auto expected = test::ReadFileBytes(image_);
        QCOMPARE(size, uint64_t{expected.size()});
        std::vector<uint8_t> bytes(expected.size());
        QCOMPARE(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
        QVERIFY(bytes == expected);
        StopService();
    }

    void aRefusalIsToldToTheUser() {
        QVERIFY(StartService("refuse"));
        ui::UdisksAccess access;
        QSignalSpy done(&access, &ui::UdisksAccess::finished);
        access.Request("/dev/fake-refused");
        QVERIFY(done.wait(20000));
        QCOMPARE(done.first().at(1).toBool(), false);
        const QString problem = done.first().at(2).toString();
        QVERIFY2(problem.contains("/dev/fake-refused") && problem.contains("not allowed"), qPrintable(problem));
        QVERIFY(!HasAdoptedDescriptor("/dev/fake-refused"));
        StopService();
    }

    void noServiceIsToldToTheUserToo() {
        ui::UdisksAccess access;
        QSignalSpy done(&access, &ui::UdisksAccess::finished);
        access.Request("/dev/fake-alone");
        QVERIFY(done.wait(20000));
        QCOMPARE(done.first().at(1).toBool(), false);
        QCOMPARE(done.first().at(2).toString(), ui::FormatText(ui::Msg("MSG0514"), {"/dev/fake-alone"}));
    }

    void theWindowScansADiskThisUserMayNotReadOnceGranted() { scanOfTheWindow("grant"); }
    void theWindowSaysWhenTheRightIsRefused() { scanOfTheWindow("refuse"); }
    void theWindowSaysWithinSecondsThatTheServiceDoesNotAnswer() { scanOfTheWindow("silent"); }
    void waitingForAPasswordNobodyGivesCanBeGivenUp() { scanOfTheWindow("wait"); }

    // The drive says it is failing: before Scan reads anything, the user is told what the
    // drive reports and offered to copy it into an image first, which opens the copy of
    // that whole disk; "Scan it anyway" scans. A sound drive is scanned without a word.
    void aFailingDiskIsOfferedToBeCopiedFirst() {
        const std::filesystem::path disk = test::UnpackFixture("fat/fat16.img.gz", dir_.path());
        test::LoopDevice loop(disk);
        if (loop.device().empty()) QSKIP("needs root and loop devices");
        QVERIFY(StartService("grant", loop.device(), "failing"));
        {
            ui::MainWnd window;
            window.show();
            QVERIFY(ChooseDisk(window, loop.device()));
            test::Click(&window, "BtnDeletedRecovery");
            QString told;
            bool askedWhere = false;
            test::WhenShown("FailingDiskBox", [&](QWidget* box) {
                told = static_cast<QMessageBox*>(box)->text();
                box->findChild<QPushButton*>("BtnImageFirst")->click();
            });
            test::WhenShown("SaveImageDialog", [&](QWidget* dialog) {
                askedWhere = true;
                static_cast<QDialog*>(dialog)->reject();
            });
            test::Click(&window, "BtnScan");
            QVERIFY(test::WaitFor([&] { return askedWhere; }));
            QVERIFY2(told.contains("12"), qPrintable(told));
            QVERIFY(told.contains(QString::fromStdString(loop.device())));
            QCOMPARE(window.currentPage(), int(ui::MainWnd::DiskPage));
            QVERIFY(window.findChild<QPushButton*>("BtnCreateImage")->isVisible());
            QVERIFY(window.findings().empty());
            window.close();
        }
        {
            ui::MainWnd window;
            window.show();
            QVERIFY(ChooseDisk(window, loop.device()));
            test::Click(&window, "BtnDeletedRecovery");
            test::WhenShown("FailingDiskBox", [](QWidget* box) { box->findChild<QPushButton*>("BtnScanAnyway")->click(); });
            test::Click(&window, "BtnScan");
            QCOMPARE(window.currentPage(), int(ui::MainWnd::ResultsPage));
            QVERIFY(!window.findings().empty());
            window.close();
        }
        StopService();
        QVERIFY(StartService("grant", loop.device(), "sound"));
        ui::MainWnd window;
        window.show();
        QVERIFY(ChooseDisk(window, loop.device()));
        test::Click(&window, "BtnDeletedRecovery");
        test::Click(&window, "BtnScan");
        QCOMPARE(window.currentPage(), int(ui::MainWnd::ResultsPage));
        window.close();
    }
};

QTEST_MAIN(UdisksAccessTest)
#include "udisks_access_test.moc"

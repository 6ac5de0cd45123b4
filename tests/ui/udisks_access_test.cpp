// Disks a user may not open, asked of UDisks2 as the desktop program asks: a fake service
// on a private bus hands out a descriptor (which the core then reads through) or refuses
// as polkit does, and the user is told why.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "disk/block_devices.h"
#include "disk/result_codes.h"
#include "support/test_support.h"
#include "ui/udisks_access.h"

using namespace kestrune;

class UdisksAccessTest : public QObject {
    Q_OBJECT

private:
    QProcess bus_;
    QProcess service_;
    test::TempDir dir_;
    std::filesystem::path image_;

    // A private bus, set as the system bus before anything connects to it.
    bool StartBus() {
        bus_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!bus_.waitForStarted() || !bus_.waitForReadyRead(10000)) return false;
        const QByteArray address = bus_.readLine().trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        return !address.isEmpty();
    }
    bool StartService(const char* answer) {
        service_.start("/usr/bin/python3", {QString(KESTRUNE_FAKE_UDISKS), qgetenv("DBUS_SYSTEM_BUS_ADDRESS"),
                                            answer, QString::fromStdString(image_.string())});
        return service_.waitForStarted() && service_.waitForReadyRead(10000) && service_.readLine().trimmed() == "ready";
    }
    void StopService() {
        service_.kill();
        service_.waitForFinished();
    }

private slots:
    void initTestCase() {
        image_ = test::UnpackFixture("boot/fat16.img.gz", dir_.path());
        QVERIFY2(StartBus(), "dbus-daemon could not be started");
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
        QVERIFY(done.first().at(2).toString().contains("UDisks2"));
    }
};

QTEST_MAIN(UdisksAccessTest)
#include "udisks_access_test.moc"

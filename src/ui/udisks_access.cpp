#include "ui/udisks_access.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>

#include "disk/block_devices.h"
#include "ui/texts.h"

namespace kestrune::ui {

namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
// A password dialog waits for the user: long enough for anyone to answer it.
constexpr int kAnswerMs = 10 * 60 * 1000;

// Why a request failed, for the user: refused, or the service not there.
QString ProblemOf(const QDBusError& error, const QString& device) {
    if (error.name().contains("NotAuthorized")) return FormatText(Msg("MSG0511"), {device});
    return FormatText(Msg("MSG0512"), {device, error.message()});
}

}  // namespace

void UdisksAccess::Request(const QString& device) {
    QDBusMessage resolve = QDBusMessage::createMethodCall(kService, "/org/freedesktop/UDisks2/Manager",
                                                          "org.freedesktop.UDisks2.Manager", "ResolveDevice");
    resolve << QVariantMap{{"path", device}} << QVariantMap{};
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(resolve, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, device](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QList<QDBusObjectPath>> reply = *call;
        if (reply.isError()) {
            emit finished(device, false, ProblemOf(reply.error(), device));
        } else if (reply.value().isEmpty()) {
            emit finished(device, false, FormatText(Msg("MSG0512"), {device, QString()}));
        } else {
            OpenBlock(device, reply.value().front().path());
        }
    });
}

void UdisksAccess::OpenBlock(const QString& device, const QString& object) {
    // Read-only and without O_EXCL, so that a mounted volume opens too.
    QDBusMessage open = QDBusMessage::createMethodCall(kService, object, "org.freedesktop.UDisks2.Block", "OpenDevice");
    open << QString("r") << QVariantMap{};
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(open, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, device](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
        if (reply.isError()) {
            emit finished(device, false, ProblemOf(reply.error(), device));
            return;
        }
        const QDBusUnixFileDescriptor descriptor = reply.value();
        if (!descriptor.isValid() || !AdoptDescriptor(device.toStdString(), descriptor.fileDescriptor())) {
            emit finished(device, false, FormatText(Msg("MSG0512"), {device, QString()}));
            return;
        }
        emit finished(device, true, QString());
    });
}

}  // namespace kestrune::ui

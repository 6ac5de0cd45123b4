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

// Why a request failed, for the user: refused, the service not there or not answering,
// or something else it said.
QString ProblemOf(const QDBusError& error, const QString& device, int timeoutMs) {
    if (error.name().contains("NotAuthorized")) return FormatText(Msg("MSG0511"), {device});
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::Disconnected:
        return FormatText(Msg("MSG0514"), {device});
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return FormatText(Msg("MSG0515"), {device, QString::number(timeoutMs / 1000)});
    default:
        return FormatText(Msg("MSG0512"), {device, error.message()});
    }
}

}  // namespace

void UdisksAccess::Abandon() { abandoned_ = true; }

void UdisksAccess::Request(const QString& device) {
    abandoned_ = false;
    if (!QDBusConnection::systemBus().isConnected()) {
        // No system bus at all: said at once, from the event loop, as any answer is.
        QMetaObject::invokeMethod(this, [this, device] {
            if (!abandoned_) emit finished(device, false, FormatText(Msg("MSG0514"), {device}));
        }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage resolve = QDBusMessage::createMethodCall(kService, "/org/freedesktop/UDisks2/Manager",
                                                          "org.freedesktop.UDisks2.Manager", "ResolveDevice");
    resolve << QVariantMap{{"path", device}} << QVariantMap{};
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(resolve, kResolveMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, device](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (abandoned_) return;
        const QDBusPendingReply<QList<QDBusObjectPath>> reply = *call;
        if (reply.isError()) {
            emit finished(device, false, ProblemOf(reply.error(), device, kResolveMs));
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
        // A descriptor that comes after the user gave up is closed with the reply.
        if (abandoned_) return;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
        if (reply.isError()) {
            emit finished(device, false, ProblemOf(reply.error(), device, kAnswerMs));
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

// Disks this user may not open, read through UDisks2: the service opens the device
// read-only on the user's behalf (polkit asks for a password where its policy wants one)
// and hands back a descriptor, which the core then reads through (AdoptDescriptor).
// The request is asynchronous: the password dialog may stay open for minutes. A service
// that is not there, or does not answer the first question within seconds, is reported
// at once rather than waited for.
#pragma once

#include <QObject>
#include <QString>

namespace kestrune::ui {

class UdisksAccess : public QObject {
    Q_OBJECT
public:
    explicit UdisksAccess(QObject* parent = nullptr) : QObject(parent) {}
    // Asks for a read-only descriptor of device (a /dev path); finished follows.
    void Request(const QString& device);
    // Gives up the request: finished is not emitted for it, and a descriptor that comes
    // later is closed.
    void Abandon();

    // How long the service has to name the device's object: no password is asked there,
    // so a service that takes longer is not going to answer.
    static constexpr int kResolveMs = 8000;

signals:
    // granted: the device is readable now. problem: why not, for the user.
    void finished(const QString& device, bool granted, const QString& problem);

private:
    void OpenBlock(const QString& device, const QString& object);

    bool abandoned_ = false;
};

}  // namespace kestrune::ui

// Disks this user may not open, read through UDisks2: the service opens the device
// read-only on the user's behalf (polkit asks for a password where its policy wants one)
// and hands back a descriptor, which the core then reads through (AdoptDescriptor).
// The request is asynchronous: the password dialog may stay open for minutes.
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

signals:
    // granted: the device is readable now. problem: why not, for the user.
    void finished(const QString& device, bool granted, const QString& problem);

private:
    void OpenBlock(const QString& device, const QString& object);
};

}  // namespace kestrune::ui

// One program per user: a lock file in the runtime folder and a local socket through which
// a second start asks the first to show its window (and to open the image files it was
// given) before it exits.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

namespace kestrune::ui {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        First,        // this process runs the program
        Handed,       // the running one took the request; exit 0
        NoAnswer,     // the lock is held but nothing answers: tell the user it is running
    };

    // name: what the lock file and the socket are called (tests give their own).
    explicit SingleInstance(QString name = QStringLiteral("kestrune-gui"));
    ~SingleInstance() override;

    // Takes the lock (a stale lock of a crashed run is taken over) or hands images to the
    // running program, waiting at most waitMs for its answer.
    Outcome Claim(const QStringList& images, int waitMs = 3000);

    static QString RuntimeFolder();

signals:
    // A second start asked to be shown, with the image files it was given.
    void activationRequested(const QStringList& images);

private:
    void Serve();

    QString name_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};

}  // namespace kestrune::ui

// Runs one decoding program for the preview (the preview helper, or LibreOffice) as a
// child process in a process group of its own, with a time limit. A decoder that hangs or
// crashes on damaged data ends alone: on its time limit, on Stop, or when this object goes,
// its group (it and whatever it started) is killed, and nothing else ever is.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>

namespace kestrune::ui {

class PreviewDecoder : public QObject {
    Q_OBJECT
public:
    explicit PreviewDecoder(QObject* parent = nullptr);
    ~PreviewDecoder() override;

    // Starts program; input (when not empty) is written to its standard input. Ends an
    // earlier run first, without a report.
    void Start(const QString& program, const QStringList& arguments, const QByteArray& input, int timeLimitMs);
    // Ends the running program now, without a report.
    void Stop();
    bool running() const { return process_ != nullptr; }
    // How many programs were ended for running past their time limit (tests watch it).
    int timeouts() const { return timeouts_; }

    // The preview helper beside this program (or the one KESTRUNE_PREVIEW_HELPER names);
    // empty when there is none.
    static QString HelperPath();

signals:
    // The program ended by itself (ok: with exit code 0) and wrote output; ok is false
    // after a crash, a failure to start, a non-zero exit or the time limit.
    void finished(bool ok, const QByteArray& output);

private:
    void Ended(bool ok);
    void KillGroup();

    QPointer<QProcess> process_;
    QTimer limit_;
    QByteArray output_;
    int timeouts_ = 0;
};

}  // namespace kestrune::ui

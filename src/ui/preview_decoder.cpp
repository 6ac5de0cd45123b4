#include "ui/preview_decoder.h"

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>

namespace kestrune::ui {

namespace {

// More than any picture or text the helper writes for the pane: a helper writing without
// end is stopped.
constexpr qsizetype kMaxOutput = 96 << 20;

}  // namespace

PreviewDecoder::PreviewDecoder(QObject* parent) : QObject(parent) {
    limit_.setSingleShot(true);
    connect(&limit_, &QTimer::timeout, this, [this] {
        ++timeouts_;
        Ended(false);
    });
}

PreviewDecoder::~PreviewDecoder() { Stop(); }

QString PreviewDecoder::HelperPath() {
    const QString named = qEnvironmentVariable("KESTRUNE_PREVIEW_HELPER");
    if (!named.isEmpty()) return QFileInfo(named).isExecutable() ? named : QString();
    const QString folder = QCoreApplication::applicationDirPath();
    for (const QString& candidate : {folder + "/kestrune-preview", folder + "/../libexec/kestrune/kestrune-preview"})
        if (QFileInfo(candidate).isExecutable()) return QFileInfo(candidate).absoluteFilePath();
    return {};
}

void PreviewDecoder::Start(const QString& program, const QStringList& arguments, const QByteArray& input,
                           int timeLimitMs) {
    Stop();
    output_.clear();
    auto* process = new QProcess(this);
    process_ = process;
    // Its own process group: the time limit ends the program and everything it started
    // (LibreOffice starts a second process), and no other process.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setStandardErrorFile(QProcess::nullDevice());
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        if (process != process_) return;
        output_ += process->readAllStandardOutput();
        if (output_.size() > kMaxOutput) Ended(false);
    });
    connect(process, &QProcess::finished, this, [this, process](int code, QProcess::ExitStatus status) {
        if (process != process_) return;
        output_ += process->readAllStandardOutput();
        Ended(status == QProcess::NormalExit && code == 0);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (process == process_ && error == QProcess::FailedToStart) Ended(false);
    });
    limit_.start(timeLimitMs);
    process->start(program, arguments);
    if (!input.isEmpty()) process->write(input);
    process->closeWriteChannel();
}

void PreviewDecoder::KillGroup() {
    QProcess* process = process_;
    process_ = nullptr;
    limit_.stop();
    if (!process) return;
    const qint64 pid = process->processId();
    if (pid > 0) ::kill(-static_cast<pid_t>(pid), SIGKILL);
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    process->kill();
    // Reaped when it has gone; the UI thread never waits for it.
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
}

void PreviewDecoder::Stop() { KillGroup(); }

void PreviewDecoder::Ended(bool ok) {
    if (!process_) return;
    KillGroup();
    const QByteArray output = std::move(output_);
    output_.clear();
    emit finished(ok, output);
}

}  // namespace kestrune::ui

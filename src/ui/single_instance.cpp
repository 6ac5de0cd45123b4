#include "ui/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <memory>

#include "scanlog/store_folder.h"

namespace kestrune::ui {

namespace {

// One line per image path, then an empty line; the answer is "shown".
QByteArray Request(const QStringList& images) {
    QByteArray request;
    for (const QString& image : images) request += image.toUtf8() + '\n';
    return request + '\n';
}

}  // namespace

SingleInstance::SingleInstance(QString name) : name_(std::move(name)) {
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::Serve);
}

SingleInstance::~SingleInstance() {
    server_.close();
    if (lock_) lock_->unlock();
}

QString SingleInstance::RuntimeFolder() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QString::fromStdString(StoreFolder().string());
    QDir().mkpath(folder);
    return folder;
}

SingleInstance::Outcome SingleInstance::Claim(const QStringList& images, int waitMs) {
    const QString folder = RuntimeFolder();
    lock_ = std::make_unique<QLockFile>(folder + "/" + name_ + ".lock");
    // QLockFile takes over a lock whose process is gone (a crashed run).
    lock_->setStaleLockTime(0);
    const QString socket = folder + "/" + name_ + ".socket";
    if (lock_->tryLock(0)) {
        QLocalServer::removeServer(socket);
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        server_.listen(socket);
        return Outcome::First;
    }
    lock_.reset();
    QLocalSocket client;
    client.connectToServer(socket);
    if (!client.waitForConnected(waitMs)) return Outcome::NoAnswer;
    client.write(Request(images));
    client.flush();
    while (!client.canReadLine())
        if (!client.waitForReadyRead(waitMs)) return Outcome::NoAnswer;
    return client.readLine().trimmed() == "shown" ? Outcome::Handed : Outcome::NoAnswer;
}

void SingleInstance::Serve() {
    while (QLocalSocket* client = server_.nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        auto images = std::make_shared<QStringList>();
        connect(client, &QLocalSocket::readyRead, this, [this, client, images] {
            while (client->canReadLine()) {
                const QByteArray line = client->readLine().chopped(1);
                if (line.isEmpty()) {
                    emit activationRequested(*images);
                    client->write("shown\n");
                    client->flush();
                    return;
                }
                *images << QString::fromUtf8(line);
            }
        });
    }
}

}  // namespace kestrune::ui

#include "app/SingleInstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <cstdio>
#include <unistd.h>

#include "support/Errors.h"

#include "support/platform/Paths.h"

namespace wh::app {

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
}

std::string SingleInstance::SocketPath()
{
    const std::string runtime = platform::RuntimeDir();
    if (!runtime.empty()) {
        return platform::JoinPath(runtime, "WHUpload_Instance");
    }
    std::string temp;
    try {
        temp = platform::TempDir();
    } catch (const Error&) {
        // An unsafe temporary folder: the lock cannot be taken there, which Claim reports.
        temp = platform::TempDirPath();
    }
    return temp + "/WHUpload_Instance-" + std::to_string(::getuid());
}

std::string SingleInstance::LockPath()
{
    return SocketPath() + ".lock";
}

bool SingleInstance::Claim()
{
    const auto outcome = m_lock.Acquire(LockPath(), platform::FileLock::Mode::Exclusive, true);
    if (outcome == platform::FileLock::Outcome::HeldElsewhere) {
        return false;
    }
    if (outcome == platform::FileLock::Outcome::CannotOpen) {
        // Without the lock a second start cannot be told apart; run anyway, but say why.
        std::fprintf(stderr, "Warehouse Upload: cannot take the instance lock %s: %s\n", LockPath().c_str(),
                     SystemErrorText(m_lock.ErrorNumber()).c_str());
    }
    // Holding the lock, any socket left at the path belongs to an instance that died.
    const QString path = QString::fromStdString(SocketPath());
    QLocalServer::removeServer(path);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(path)) {
        std::fprintf(stderr, "Warehouse Upload: cannot listen on %s: %s\n", SocketPath().c_str(),
                     m_server.errorString().toLocal8Bit().constData());
    }
    return true;
}

bool SingleInstance::Send(const QByteArray& request, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    // The running instance may still be starting: try again until it listens.
    while (elapsed.elapsed() < timeoutMs) {
        QLocalSocket socket;
        socket.connectToServer(QString::fromStdString(SocketPath()));
        if (socket.waitForConnected(1000)) {
            socket.write(request);
            socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
            if (socket.state() != QLocalSocket::UnconnectedState) {
                socket.waitForDisconnected(1000);
            }
            return true;
        }
        QThread::msleep(100);
    }
    return false;
}

void SingleInstance::OnNewConnection()
{
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        auto* received = new QByteArray; // owned by the connection below
        connect(socket, &QLocalSocket::readyRead, socket, [socket, received] { received->append(socket->readAll()); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, received] {
            received->append(socket->readAll());
            const QByteArray request = received->trimmed();
            delete received;
            socket->deleteLater();
            emit RequestReceived(request);
        });
    }
}

} // namespace wh::app

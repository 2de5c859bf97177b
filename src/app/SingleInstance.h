#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <string>

#include "support/platform/FileLock.h"

namespace wh::app {

// One tool per desktop session: an exclusive lock file held for the process's life, and a local
// socket on which other programs ask the running tool for something. A client writes "0" to ask
// for the "already running" notice and "1" to ask the tool to close; any other text is ignored.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject* parent = nullptr);

    // $XDG_RUNTIME_DIR/WHUpload_Instance, or the temporary folder + "/WHUpload_Instance-" + uid.
    static std::string SocketPath();
    static std::string LockPath();

    // Takes the lock and listens. False when another instance holds the lock.
    bool Claim();

    // Sends a request to the running instance; false when none answered.
    static bool Send(const QByteArray& request, int timeoutMs = 5000);

signals:
    void RequestReceived(const QByteArray& request);

private:
    void OnNewConnection();

    platform::FileLock m_lock;
    QLocalServer m_server;
};

} // namespace wh::app

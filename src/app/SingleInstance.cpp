#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace tarnwick {

namespace {

constexpr QByteArrayView activateRequest = "activate\n";
constexpr qsizetype maxRequestBytes = 64;

QByteArray answerFor(SingleInstance::FrontEnd frontEnd) {
    return frontEnd == SingleInstance::FrontEnd::window ? QByteArrayLiteral("window\n")
                                                        : QByteArrayLiteral("terminal\n");
}

} // namespace

SingleInstance::SingleInstance(QString directory, QObject* parent)
    : QObject(parent), directory_(std::move(directory)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::serve);
}

SingleInstance::~SingleInstance() {
    server_.close();
    // The lock is released by its own destructor, after the socket is gone.
}

QString SingleInstance::socketPath() const {
    return QDir(directory_).filePath(QStringLiteral("tarnwick-bridge.socket"));
}

QString SingleInstance::lockPath() const {
    return QDir(directory_).filePath(QStringLiteral("tarnwick-bridge.lock"));
}

QString SingleInstance::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

bool SingleInstance::claim(FrontEnd frontEnd) {
    frontEnd_ = frontEnd;
    if (directory_.isEmpty() || !QDir().mkpath(directory_)) {
        error_ = QStringLiteral("The runtime directory \"%1\" cannot be used.").arg(directory_);
        return false;
    }
    lock_ = std::make_unique<QLockFile>(lockPath());
    // A lock is stale only when the process that took it is gone, never by its age: a bridge
    // runs for days.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        if (lock_->error() != QLockFile::LockFailedError) {
            error_ = QStringLiteral("The lock \"%1\" cannot be taken.").arg(lockPath());
        }
        lock_.reset();
        return false;
    }
    // Whoever held the lock before is gone; a socket file it left behind is stale.
    QLocalServer::removeServer(socketPath());
    if (!server_.listen(socketPath())) {
        error_ = server_.errorString();
        lock_.reset();
        return false;
    }
    return true;
}

std::optional<SingleInstance::FrontEnd> SingleInstance::notifyRunning(int timeoutMs) {
    // The running bridge takes its lock a moment before it listens: keep trying until then.
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    while (true) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(static_cast<int>(
                std::min<qint64>(1000, std::max<qint64>(1, deadline.remainingTime()))))) {
            break;
        }
        socket.abort();
        if (deadline.hasExpired()) {
            return std::nullopt;
        }
        QThread::msleep(50);
    }
    socket.write(activateRequest.data(), activateRequest.size());
    socket.flush();
    QByteArray answer;
    while (!answer.contains('\n') && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(
                static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
            break;
        }
        answer += socket.readAll();
    }
    if (answer == answerFor(FrontEnd::window)) {
        return FrontEnd::window;
    }
    if (answer == answerFor(FrontEnd::terminal)) {
        return FrontEnd::terminal;
    }
    return std::nullopt;
}

void SingleInstance::serve() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QByteArray request = socket->peek(maxRequestBytes);
            if (!request.contains('\n')) {
                if (request.size() >= maxRequestBytes) {
                    socket->abort();
                }
                return;
            }
            socket->read(request.indexOf('\n') + 1);
            request.truncate(request.indexOf('\n') + 1);
            if (request == activateRequest) {
                socket->write(answerFor(frontEnd_));
                socket->flush();
                emit activationRequested();
            }
            socket->disconnectFromServer();
        });
    }
}

} // namespace tarnwick

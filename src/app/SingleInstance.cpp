#include "app/SingleInstance.h"

#include "app/AppLog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <sys/socket.h>
#include <unistd.h>

namespace tarnwick {

namespace {

constexpr QByteArrayView activateRequest = "activate\n";
constexpr QByteArrayView controlPrefix = "control";
// The longest request line: a control command is a few short words.
constexpr qsizetype maxRequestBytes = 256;
// The longest answer a control command takes in: a listing of requests or devices.
constexpr qsizetype maxAnswerBytes = 1024 * 1024;

QByteArray answerFor(SingleInstance::FrontEnd frontEnd) {
    switch (frontEnd) {
    case SingleInstance::FrontEnd::window:
        return QByteArrayLiteral("window\n");
    case SingleInstance::FrontEnd::terminal:
        return QByteArrayLiteral("terminal\n");
    case SingleInstance::FrontEnd::service:
        return QByteArrayLiteral("service\n");
    }
    return {};
}

// Whether the process at the other end of a connected local socket runs as this user. The
// socket file's mode is the first fence; this is the one that holds when the mode or the
// folder around it was loosened.
bool peerIsThisUser(qintptr descriptor) {
    struct ucred credentials {};
    socklen_t size = sizeof credentials;
    if (descriptor < 0 ||
        ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) !=
            0 ||
        size != sizeof credentials) {
        return false;
    }
    return credentials.uid == ::geteuid();
}

// Connects to the running bridge, retrying until `deadline`: it takes its lock a moment
// before it listens.
bool connectBefore(QLocalSocket& socket, const QString& path, const QDeadlineTimer& deadline) {
    while (true) {
        socket.connectToServer(path);
        if (socket.waitForConnected(static_cast<int>(
                std::min<qint64>(1000, std::max<qint64>(1, deadline.remainingTime()))))) {
            return true;
        }
        socket.abort();
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
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
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    if (!connectBefore(socket, socketPath(), deadline) ||
        !peerIsThisUser(socket.socketDescriptor())) {
        return std::nullopt;
    }
    socket.write(activateRequest.data(), activateRequest.size());
    socket.flush();
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < maxRequestBytes && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(
                static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
            break;
        }
        answer += socket.read(maxRequestBytes);
    }
    for (FrontEnd frontEnd : {FrontEnd::window, FrontEnd::terminal, FrontEnd::service}) {
        if (answer == answerFor(frontEnd)) {
            return frontEnd;
        }
    }
    return std::nullopt;
}

std::optional<SingleInstance::ControlAnswer> SingleInstance::sendControl(const QStringList& words,
                                                                         int timeoutMs) {
    const QByteArray request =
        (QString::fromLatin1(controlPrefix.toByteArray()) + u' ' + words.join(u' ')).toUtf8() +
        '\n';
    if (request.size() > maxRequestBytes || request.count('\n') != 1) {
        error_ = QStringLiteral("That command is too long.");
        return std::nullopt;
    }
    // Without a lock file no bridge runs, and there is nothing to wait for.
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    if (!connectBefore(socket, socketPath(),
                       QFileInfo::exists(lockPath()) ? deadline : QDeadlineTimer(0))) {
        error_ = QStringLiteral("Tarnwick Bridge is not running.");
        return std::nullopt;
    }
    if (!peerIsThisUser(socket.socketDescriptor())) {
        error_ = QStringLiteral("The bridge's socket \"%1\" belongs to another user; nothing was "
                                "sent.")
                     .arg(socketPath());
        return std::nullopt;
    }
    socket.write(request);
    socket.flush();
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && answer.size() <= maxAnswerBytes &&
           !deadline.hasExpired()) {
        socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        answer += socket.readAll();
    }
    answer += socket.readAll();
    const qsizetype newline = answer.indexOf('\n');
    const QByteArray verdict = answer.left(newline);
    if (newline < 0 || answer.size() > maxAnswerBytes || (verdict != "ok" && verdict != "no")) {
        error_ = QStringLiteral("The running bridge did not answer.");
        return std::nullopt;
    }
    return ControlAnswer{verdict == "ok", QString::fromUtf8(answer.mid(newline + 1))};
}

void SingleInstance::serve() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (!peerIsThisUser(socket->socketDescriptor())) {
            qCWarning(appLog) << "Refused a connection to the bridge's socket from another user.";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setParent(this);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { answer(socket); });
    }
}

void SingleInstance::answer(QLocalSocket* socket) {
    QByteArray request = socket->peek(maxRequestBytes);
    if (!request.contains('\n')) {
        if (request.size() >= maxRequestBytes) {
            socket->abort();
        }
        return;
    }
    request.truncate(request.indexOf('\n') + 1);
    socket->read(request.size());
    // One request per connection: what follows it is not read.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    if (request == activateRequest) {
        socket->write(answerFor(frontEnd_));
        socket->flush();
        emit activationRequested();
    } else if (request.startsWith(controlPrefix.toByteArray() + ' ')) {
        const QStringList words =
            QString::fromUtf8(request.mid(controlPrefix.size() + 1).chopped(1))
                .split(u' ', Qt::SkipEmptyParts);
        ControlAnswer answer{false, QStringLiteral("This bridge takes no commands.\n")};
        if (controlHandler_ && !words.isEmpty()) {
            answer = controlHandler_(words);
        }
        socket->write((answer.ok ? QByteArrayLiteral("ok\n") : QByteArrayLiteral("no\n")) +
                      answer.text.toUtf8());
        socket->flush();
    }
    socket->disconnectFromServer();
}

} // namespace tarnwick

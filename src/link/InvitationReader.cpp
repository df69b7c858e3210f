#include "link/InvitationReader.h"

#include <QSslSocket>

namespace tarnwick {

namespace {

// How long a refused device gets to read its answer before the connection is cut.
constexpr std::chrono::seconds lingerAfterRefusal{5};

} // namespace

InvitationReader::InvitationReader(QSslSocket* socket, std::chrono::milliseconds timeout,
                                   QObject* parent)
    : QObject(parent), socket_(socket) {
    socket->setParent(this);
    // Nothing but the header is read before admission; a peer that sends more waits.
    socket->setReadBufferSize(static_cast<qint64>(4 * InvitationRequest::maxHeaderBytes));
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (socket_) {
            socket_->abort();
        }
        finish();
    });
    deadline_.start(timeout);
    connect(socket, &QSslSocket::encrypted, this, &InvitationReader::readHeader);
    connect(socket, &QSslSocket::readyRead, this, &InvitationReader::readHeader);
    connect(socket, &QSslSocket::disconnected, this, &InvitationReader::finish);
    connect(socket, &QSslSocket::errorOccurred, this, [this] {
        if (socket_ && socket_->state() == QAbstractSocket::UnconnectedState) {
            finish();
        }
    });
}

void InvitationReader::readHeader() {
    if (refused_ && socket_) {
        socket_->readAll(); // unread input would turn the close into a reset that loses the answer
        return;
    }
    if (reported_ || !socket_ || !socket_->isEncrypted()) {
        return;
    }
    const qint64 available = socket_->bytesAvailable();
    const QByteArray buffered =
        socket_->peek(std::min<qint64>(available, InvitationRequest::maxHeaderBytes + 1));
    const std::string_view view(buffered.constData(), static_cast<std::size_t>(buffered.size()));
    const auto length = InvitationRequest::headerLength(view);
    if (!length) {
        if (static_cast<std::size_t>(buffered.size()) > InvitationRequest::maxHeaderBytes) {
            refuse(400, QStringLiteral("Request header too large."));
        }
        return;
    }
    auto invitation = InvitationRequest::parse(view.substr(0, *length));
    if (!invitation) {
        refuse(400, QString::fromStdString(invitation.error().description));
        return;
    }
    reported_ = true;
    emit invitationRead(this, *invitation);
}

QSslSocket* InvitationReader::takeSocket() {
    QSslSocket* socket = socket_;
    if (socket) {
        socket->disconnect(this);
        socket->setParent(nullptr);
        socket_ = nullptr;
    }
    deadline_.stop();
    finish();
    return socket;
}

void InvitationReader::refuse(int status, const QString& reason) {
    reported_ = true;
    refused_ = true;
    if (!socket_) {
        finish();
        return;
    }
    socket_->readAll();
    socket_->write(QByteArray::fromStdString(invitationRefusal(status, reason.toStdString())));
    socket_->disconnectFromHost();
    if (socket_ && socket_->state() != QAbstractSocket::UnconnectedState) {
        deadline_.start(lingerAfterRefusal);
    } else {
        finish();
    }
}

void InvitationReader::abort() {
    if (socket_) {
        socket_->abort();
    }
    finish();
}

void InvitationReader::finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    deadline_.stop();
    emit finished(this);
}

} // namespace tarnwick

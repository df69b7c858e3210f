#include "link/InvitationReader.h"

#include "link/LinkLog.h"
#include "link/WebAnswer.h"
#include "link/WebContent.h"

#include <QSslSocket>

namespace tarnwick {

namespace {

// How long a refused device gets to read its answer before the connection is cut.
constexpr std::chrono::seconds lingerAfterRefusal{5};

} // namespace

InvitationReader::InvitationReader(QSslSocket* socket, std::chrono::milliseconds timeout,
                                   ReaderRules rules, QObject* parent)
    : QObject(parent), socket_(socket), timeout_(timeout), rules_(std::move(rules)) {
    if (!rules_.content) {
        rules_.content = std::make_shared<const WebContent>();
    }
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
    // A request that came behind an answer is read once that answer has left.
    connect(socket, &QSslSocket::bytesWritten, this, &InvitationReader::readHeader);
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &InvitationReader::readHeader);
    connect(socket, &QSslSocket::disconnected, this, &InvitationReader::finish);
    connect(socket, &QSslSocket::errorOccurred, this, [this] {
        if (socket_ && socket_->state() == QAbstractSocket::UnconnectedState) {
            finish();
        }
    });
}

void InvitationReader::readHeader() {
    if (closing_ && socket_) {
        socket_->readAll(); // unread input would turn the close into a reset that loses the answer
        return;
    }
    if (reported_ || !socket_ || !socket_->isEncrypted()) {
        return;
    }
    // One answer at a time: what a peer that does not read costs stays one answer.
    if (socket_->bytesToWrite() > 0 || socket_->encryptedBytesToWrite() > 0) {
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
    const std::string_view header = view.substr(0, *length);
    auto request = HttpRequestHead::parse(header);
    if (!request) {
        refuse(400, QString::fromStdString(request.error().description));
        return;
    }
    if (!rules_.answersTo || !rules_.answersTo(request->host)) {
        qCDebug(linkLog) << "Refused a request for host" << QString::fromStdString(request->host);
        refuse(421, QStringLiteral("This bridge does not answer to that name."));
        return;
    }
    if (request->isSessionRequest()) {
        if (request->origin && !isOwnOrigin(*request->origin, request->host)) {
            qCDebug(linkLog) << "Refused an upgrade from origin"
                             << QString::fromStdString(*request->origin);
            refuse(403, QStringLiteral("Sessions open only from this bridge's own page."));
            return;
        }
        auto invitation = InvitationRequest::parse(header);
        if (!invitation) {
            refuse(400, QString::fromStdString(invitation.error().description));
            return;
        }
        reported_ = true;
        emit invitationRead(this, *invitation);
        return;
    }

    ++served_;
    const WebAnswer answer =
        answerPage(*request, *rules_.content, served_ >= maxRequestsPerConnection);
    socket_->skip(static_cast<qint64>(*length));
    const QByteArray bytes = QByteArray::fromStdString(answer.bytes);
    if (answer.close) {
        answerAndClose(bytes);
        return;
    }
    socket_->write(bytes);
    deadline_.start(timeout_);
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
    answerAndClose(QByteArray::fromStdString(invitationRefusal(status, reason.toStdString())));
}

void InvitationReader::answerAndClose(const QByteArray& answer) {
    reported_ = true;
    closing_ = true;
    if (!socket_) {
        finish();
        return;
    }
    socket_->readAll();
    socket_->write(answer);
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

#pragma once

#include "link/InvitationRequest.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

class QSslSocket;

namespace tarnwick {

class WebContent;

// What a new connection may ask of the host before it is a session: the page's files, and the
// names the host answers to.
struct ReaderRules {
    std::shared_ptr<const WebContent> content; // null: no page, every page request gets 404
    std::function<bool(std::string_view host)> answersTo;
};

// Reads the requests of one new connection: waits for the TLS handshake and each whole HTTP
// request header. A request for the page is answered from the content table, and the
// connection may carry more of them (keep-alive, up to maxRequestsPerConnection); anything
// malformed, under a foreign Host or, for an upgrade, from another site's page is refused
// (400, 421, 403, then the connection closes); a valid invitation is reported, and its owner
// then admits it (taking the socket) or refuses it. Nothing of an invitation is consumed from
// the socket: the WebSocket handshake reads the same header again.
class InvitationReader : public QObject {
    Q_OBJECT
public:
    // Takes ownership of `socket`. A connection that has not sent a whole header within
    // `timeout` of its start or of its last answer is dropped.
    InvitationReader(QSslSocket* socket, std::chrono::milliseconds timeout, ReaderRules rules,
                     QObject* parent = nullptr);

    // Gives the socket, with the header still unread in it, to the caller, who becomes its
    // owner. The reader is finished afterwards.
    QSslSocket* takeSocket();

    // Answers with an HTTP error and closes the connection.
    void refuse(int status, const QString& reason);
    // Drops the connection without an answer; the reader is finished afterwards.
    void abort();

signals:
    void invitationRead(tarnwick::InvitationReader* reader, const tarnwick::Invitation& invitation);
    // The connection is gone or was given away; the owner may delete the reader.
    void finished(tarnwick::InvitationReader* reader);

private:
    void readHeader();
    void answerAndClose(const QByteArray& answer);
    void finish();

    QPointer<QSslSocket> socket_;
    std::chrono::milliseconds timeout_;
    ReaderRules rules_;
    QTimer deadline_;
    int served_ = 0;
    bool reported_ = false;
    bool closing_ = false;
    bool finished_ = false;
};

} // namespace tarnwick

#pragma once

#include "link/InvitationRequest.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

class QSslSocket;

namespace tarnwick {

// Reads the invitation of one new connection: waits for the TLS handshake and the whole HTTP
// request header, then either refuses a bad one itself (HTTP 400, then the connection closes)
// or reports a valid one, which its owner then admits (taking the socket) or refuses.
// Nothing is consumed from the socket: the WebSocket handshake reads the same header again.
class InvitationReader : public QObject {
    Q_OBJECT
public:
    // Takes ownership of `socket`. A connection that has not sent a whole header within
    // `timeout` is dropped.
    InvitationReader(QSslSocket* socket, std::chrono::milliseconds timeout,
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
    void finish();

    QPointer<QSslSocket> socket_;
    QTimer deadline_;
    bool reported_ = false;
    bool refused_ = false;
    bool finished_ = false;
};

} // namespace tarnwick

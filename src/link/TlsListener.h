#pragma once

#include <QSslConfiguration>
#include <QTcpServer>

class QSslSocket;

namespace tarnwick {

// A TCP listener whose connections start as TLS server sockets: each one is handed on as a
// QSslSocket that is already negotiating encryption.
class TlsListener : public QTcpServer {
    Q_OBJECT
public:
    explicit TlsListener(QSslConfiguration configuration, QObject* parent = nullptr);

signals:
    // The socket is a child of the listener until the receiver takes it.
    void connectionArrived(QSslSocket* socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration configuration_;
};

} // namespace tarnwick

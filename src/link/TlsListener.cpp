#include "link/TlsListener.h"

#include <QSslSocket>

#include <unistd.h>

namespace tarnwick {

TlsListener::TlsListener(QSslConfiguration configuration, QObject* parent)
    : QTcpServer(parent), configuration_(std::move(configuration)) {}

void TlsListener::incomingConnection(qintptr descriptor) {
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        socket->deleteLater();
        ::close(static_cast<int>(descriptor));
        return;
    }
    socket->setSslConfiguration(configuration_);
    socket->startServerEncryption();
    emit connectionArrived(socket);
}

} // namespace tarnwick

#pragma once

#include "HttpRequestReader.h"
#include "ModelScript.h"

#include <QTcpServer>

#include <functional>
#include <memory>
#include <string>

namespace tarnwick {

// The stand-in model's HTTP server, on 127.0.0.1 only. It answers POST .../responses with the
// script's events, refuses every proxy CONNECT (so that a program pointed at it as its proxy
// reaches nothing beyond this machine) and answers anything else with 404. Every request goes
// to `onRequest` as one JSON line.
class StandInServer : public QObject {
    Q_OBJECT
public:
    explicit StandInServer(ModelScript script, QObject* parent = nullptr);

    // Listens on 127.0.0.1 at `port` (0 for any free one); the error is a text for people.
    std::string listen(quint16 port);
    quint16 port() const { return server_.serverPort(); }

    std::function<void(const std::string& line)> onRequest;

private:
    struct Connection;

    void accepted();
    void serve(Connection& connection, const HttpRequest& request);
    void record(const HttpRequest& request);

    QTcpServer server_;
    ModelScript script_;
};

} // namespace tarnwick

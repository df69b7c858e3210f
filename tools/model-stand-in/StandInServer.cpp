#include "StandInServer.h"

#include <QTcpSocket>

namespace tarnwick {

struct StandInServer::Connection {
    QTcpSocket* socket = nullptr;
    HttpRequestReader reader;
};

namespace {

void reply(QTcpSocket& socket, int status, const char* statusText, const char* contentType,
           const std::string& body, bool keepOpen) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + statusText +
                       "\r\nContent-Type: " + contentType +
                       "\r\nContent-Length: " + std::to_string(body.size()) +
                       (keepOpen ? "\r\n" : "\r\nConnection: close\r\n") + "\r\n";
    socket.write(head.data(), qint64(head.size()));
    socket.write(body.data(), qint64(body.size()));
    if (!keepOpen) {
        socket.disconnectFromHost();
    }
}

std::string errorBody(const std::string& message) {
    auto encoded = JSONValue(JSONObject{{"error", JSONObject{{"message", message}}}}).encode();
    return encoded ? *encoded : std::string("{}");
}

bool endsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

StandInServer::StandInServer(ModelScript script, QObject* parent)
    : QObject(parent), script_(std::move(script)) {
    connect(&server_, &QTcpServer::newConnection, this, &StandInServer::accepted);
}

std::string StandInServer::listen(quint16 port) {
    if (!server_.listen(QHostAddress::LocalHost, port)) {
        return "Cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
               server_.errorString().toStdString();
    }
    return {};
}

void StandInServer::accepted() {
    while (QTcpSocket* incoming = server_.nextPendingConnection()) {
        auto connection = std::make_shared<Connection>();
        connection->socket = incoming;
        connect(incoming, &QTcpSocket::disconnected, incoming, &QObject::deleteLater);
        // The connection lives as long as the socket's signal connection holds it.
        connect(incoming, &QTcpSocket::readyRead, incoming, [this, connection] {
            QTcpSocket& socket = *connection->socket;
            const QByteArray bytes = socket.readAll();
            connection->reader.append(std::string_view(bytes.constData(), bytes.size()));
            while (auto request = connection->reader.next()) {
                serve(*connection, *request);
            }
            if (!connection->reader.error().empty() && socket.isOpen()) {
                reply(socket, 400, "Bad Request", "application/json",
                      errorBody(connection->reader.error()), false);
            }
        });
    }
}

void StandInServer::serve(Connection& connection, const HttpRequest& request) {
    record(request);
    QTcpSocket& socket = *connection.socket;
    if (request.method == "CONNECT") {
        reply(socket, 403, "Forbidden", "text/plain", "This proxy reaches nothing.\n", false);
        return;
    }
    if (request.method != "POST" || !endsWith(request.target, "/responses")) {
        reply(socket, 404, "Not Found", "application/json",
              errorBody("The stand-in model answers POST /v1/responses only."), true);
        return;
    }
    if (const std::string* encoding = request.header("content-encoding")) {
        reply(socket, 415, "Unsupported Media Type", "application/json",
              errorBody("Content encoding \"" + *encoding + "\" is not supported."), true);
        return;
    }
    auto body = JSONValue::decode(request.body);
    if (!body) {
        reply(socket, 400, "Bad Request", "application/json",
              errorBody("The request body is not JSON: " + body.error().description), true);
        return;
    }
    reply(socket, 200, "OK", "text/event-stream", script_.answer(*body), true);
}

void StandInServer::record(const HttpRequest& request) {
    if (!onRequest) {
        return;
    }
    JSONObject headers;
    for (const auto& [name, value] : request.headers) {
        headers.set(name, value);
    }
    JSONObject line{{"method", request.method},
                    {"target", request.target},
                    {"headers", JSONValue(std::move(headers))}};
    if (auto body = JSONValue::decode(request.body)) {
        line.set("body", std::move(body).value());
    } else if (!request.body.empty()) {
        line.set("bodyText", request.body);
    }
    auto encoded = JSONValue(std::move(line)).encode();
    onRequest(encoded ? *encoded : std::string("{}"));
}

} // namespace tarnwick

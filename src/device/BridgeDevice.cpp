#include "device/BridgeDevice.h"

#include "device/DeviceLog.h"

#include <QPointer>

namespace tarnwick {

BridgeDevice::BridgeDevice(const DeviceIdentity& identity, std::string displayName,
                           PeerConnectorOptions options, QObject* parent)
    : QObject(parent), identity_(identity), displayName_(std::move(displayName)),
      connector_(options) {
    connect(&connector_, &PeerConnector::stateChanged, this, &BridgeDevice::connectorStateChanged);
    connect(&connector_, &PeerConnector::dataReceived, this, &BridgeDevice::received);
}

BridgeDevice::~BridgeDevice() {
    connector_.disconnect(this);
}

Expected<void, Error> BridgeDevice::connectTo(const QString& host, quint16 port, HelloOrder order) {
    order_ = order;
    return connector_.open(host, port, displayName_);
}

void BridgeDevice::disconnect() {
    connector_.close();
}

void BridgeDevice::connectorStateChanged(PeerState state) {
    if (state == PeerState::connecting) {
        ownHello_.reset();
        bridgeHello_.reset();
        setPairing(Pairing::none);
    } else if (state == PeerState::connected && order_ == HelloOrder::first) {
        sendHello();
    } else if (state == PeerState::notConnected) {
        qCDebug(deviceLog) << "Connection to the bridge ended with" << pending_.size()
                           << "requests unanswered";
        failPending(goneText);
    }
    emit stateChanged(state);
}

void BridgeDevice::sendHello() {
    if (ownHello_) {
        return;
    }
    auto hello = identity_.makeHello(displayName_);
    if (!hello) {
        emit problemFound("Could not sign a hello: " + hello.error().description);
        return;
    }
    ownHello_ = *hello;
    (void)send(makeMessage(BridgeMessageKind::hello, {}, {}, ownHello_->toJSON()));
}

std::optional<std::string> BridgeDevice::pairingCode() const {
    if (!ownHello_ || !bridgeHello_) {
        return std::nullopt;
    }
    return tarnwick::pairingCode(*ownHello_, *bridgeHello_);
}

void BridgeDevice::requestPairing() {
    setPairing(Pairing::requested);
    (void)send(makeMessage(BridgeMessageKind::pairingRequest));
}

std::string BridgeDevice::request(const std::string& method, std::optional<JSONValue> params,
                                  std::function<void(Answer)> answered) {
    std::string id = "r" + std::to_string(nextRequest_++);
    pending_[id] = std::move(answered);
    if (auto sent = send(makeMessage(BridgeMessageKind::request, id, method, std::move(params)));
        !sent) {
        auto callback = std::move(pending_[id]);
        pending_.erase(id);
        if (callback) {
            callback(Unexpected(sent.error().description));
        }
    }
    return id;
}

void BridgeDevice::answer(const std::string& serverRequestID, std::optional<JSONValue> decision) {
    (void)send(BridgeMessage{
        1, BridgeMessageKind::serverResponse, serverRequestID, {}, std::move(decision)});
}

void BridgeDevice::ping(std::optional<std::string> id) {
    (void)send(makeMessage(BridgeMessageKind::ping, std::move(id)));
}

Expected<void, Error> BridgeDevice::send(const BridgeMessage& message) {
    auto encoded = message.encode();
    if (!encoded) {
        return Unexpected(Error{encoded.error().description});
    }
    return sendBytes(QByteArray::fromStdString(*encoded));
}

Expected<void, Error> BridgeDevice::sendBytes(const QByteArray& bytes) {
    return connector_.send(bytes);
}

void BridgeDevice::setPairing(Pairing pairing) {
    if (pairing != pairing_) {
        pairing_ = pairing;
        emit pairingChanged(pairing);
    }
}

void BridgeDevice::failPending(const std::string& reason) {
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [id, callback] : pending) {
        if (callback) {
            callback(Unexpected(reason));
        }
    }
}

void BridgeDevice::received(const QByteArray& bytes) {
    QPointer<BridgeDevice> self(this);
    auto decoded = BridgeMessage::decode(std::string_view(bytes.constData(), bytes.size()));
    if (!decoded) {
        emit problemFound("The bridge sent a malformed message: " + decoded.error().description);
        return;
    }
    const BridgeMessage& message = *decoded;
    switch (message.kind) {
    case BridgeMessageKind::hello: {
        auto hello =
            message.body
                ? HelloPayload::fromJSON(*message.body)
                : Expected<HelloPayload, Error>(Unexpected(Error{"The hello has no body."}));
        if (!hello || !hello->verify()) {
            emit problemFound("The bridge's hello did not verify.");
            return;
        }
        bridgeHello_ = *hello;
        qCDebug(deviceLog) << "The bridge's hello verified";
        emit bridgeHelloReceived();
        if (self && order_ == HelloOrder::afterBridge) {
            sendHello();
        }
        break;
    }
    case BridgeMessageKind::pairingAccepted: {
        auto hello = message.body ? HelloPayload::fromJSON(*message.body)
                                  : Expected<HelloPayload, Error>(Unexpected(Error{"no body"}));
        if (!hello || !bridgeHello_ || !(*hello == *bridgeHello_)) {
            emit problemFound("The bridge accepted with a hello other than the one it sent.");
        }
        setPairing(Pairing::accepted);
        break;
    }
    case BridgeMessageKind::pairingRejected:
        setPairing(Pairing::rejected);
        break;
    case BridgeMessageKind::response:
    case BridgeMessageKind::error:
        if (message.id) {
            if (auto found = pending_.find(*message.id); found != pending_.end()) {
                auto callback = std::move(found->second);
                pending_.erase(found);
                if (callback) {
                    if (message.kind == BridgeMessageKind::response) {
                        callback(message.body ? *message.body : JSONValue());
                    } else {
                        const std::string* text =
                            message.body ? message.body->stringValue() : nullptr;
                        callback(Unexpected(text ? *text : std::string("The bridge refused.")));
                    }
                }
                return;
            }
        }
        break;
    case BridgeMessageKind::event:
        if (message.method) {
            emit eventReceived(*message.method,
                               message.body ? *message.body : JSONValue(JSONObject{}));
        }
        break;
    case BridgeMessageKind::serverRequest:
        if (message.id && message.method) {
            emit serverRequestReceived(*message.id, *message.method,
                                       message.body ? *message.body : JSONValue(JSONObject{}));
        }
        break;
    default:
        break;
    }
    if (self) {
        emit messageReceived(message);
    }
}

} // namespace tarnwick

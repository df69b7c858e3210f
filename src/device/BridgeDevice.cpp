#include "device/BridgeDevice.h"

#include "device/DeviceLog.h"
#include "link/CertificateFingerprint.h"
#include "link/LinkWire.h"

#include <QCryptographicHash>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>

namespace tarnwick {

namespace {

PeerConnectorOptions withHandshake(PeerConnectorOptions options,
                                   BridgeDevice::Handshake handshake) {
    options.offerVersion2 = handshake == BridgeDevice::Handshake::version2;
    return options;
}

const std::string* stringMember(const std::optional<JSONValue>& body, std::string_view key) {
    const JSONValue* member = body ? body->member(key) : nullptr;
    return member ? member->stringValue() : nullptr;
}

bool saysVersion2(const std::optional<JSONValue>& body) {
    const JSONValue* protocol = body ? body->member("protocol") : nullptr;
    return protocol && *protocol == JSONValue(2);
}

} // namespace

BridgeDevice::BridgeDevice(const DeviceIdentity& identity, std::string displayName,
                           Handshake handshake, PeerConnectorOptions options, QObject* parent)
    : QObject(parent), identity_(identity), displayName_(std::move(displayName)),
      handshake_(handshake), connector_(withHandshake(options, handshake)) {
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
        certificate_.clear();
        certificateKey_.clear();
        ownOffer_.reset();
        bridgeOffer_.reset();
        proven_ = false;
        refusal_.reset();
        ownPairingNonce_.clear();
        awaitingBridgeNonce_ = false;
        code_.reset();
        ceiling_.reset();
        notTrusted_ = false;
        forgotten_ = false;
        setPairing(Pairing::none);
    } else if (state == PeerState::connected && handshake_ == Handshake::version2) {
        // A refusal here has already reported the end of the connection.
        if (!learnCertificate()) {
            return;
        }
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

bool BridgeDevice::learnCertificate() {
    if (connector_.subprotocol().toStdString() != linkwire::subprotocolV2) {
        refuse("The bridge did not agree to handshake version 2.");
        return false;
    }
    const QSslCertificate certificate = connector_.peerCertificate();
    if (certificate.isNull()) {
        refuse("The bridge presented no certificate.");
        return false;
    }
    certificate_ = certificateFingerprint(certificate);
    // The DER of a public QSslKey is its SubjectPublicKeyInfo.
    certificateKey_ =
        QCryptographicHash::hash(certificate.publicKey().toDer(), QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    return true;
}

void BridgeDevice::refuse(const std::string& reason) {
    if (refusal_) {
        return;
    }
    refusal_ = reason;
    qCInfo(deviceLog) << "Refused the bridge:" << reason.c_str();
    QPointer<BridgeDevice> self(this);
    emit bridgeRefused(reason);
    if (self) {
        connector_.close();
    }
}

bool BridgeDevice::handshakeMessage(BridgeMessageKind kind) const {
    return kind == BridgeMessageKind::hello || kind == BridgeMessageKind::proof;
}

void BridgeDevice::bridgeOffered(const BridgeMessage& message) {
    if (bridgeOffer_) {
        refuse("The bridge offered itself twice on one connection.");
        return;
    }
    auto offer = message.body
                     ? HelloOffer::fromJSON(*message.body)
                     : Expected<HelloOffer, Error>(Unexpected(Error{"The hello has no body."}));
    if (!offer) {
        refuse("The bridge's hello is not a version-2 offer: " + offer.error().description);
        return;
    }
    if (!saysVersion2(message.body) || !isNonceV2(offer->nonce)) {
        refuse("The bridge's hello is not a version-2 offer with a fresh nonce.");
        return;
    }
    if (offer->certificate != certificate_) {
        refuse("The bridge's offer names another certificate than the one this connection "
               "presents.");
        return;
    }
    bridgeOffer_ = *offer;
    QPointer<BridgeDevice> self(this);
    emit bridgeOfferReceived();
    if (!self || refusal_ || connector_.state() != PeerState::connected) {
        return;
    }
    ownOffer_ = identity_.makeOffer(displayName_, certificate_);
    (void)send(makeMessage(BridgeMessageKind::hello, {}, {}, ownOffer_->toJSON()));
}

void BridgeDevice::bridgeProofArrived(const BridgeMessage& message) {
    if (!ownOffer_ || proven_) {
        refuse("The bridge sent a proof out of turn.");
        return;
    }
    const std::string* signature = stringMember(message.body, "signature");
    if (!signature ||
        !verifySignature(bridgeOffer_->publicKey,
                         bridgeProofText(*bridgeOffer_, *ownOffer_, certificate_), *signature)) {
        refuse("The bridge's proof did not verify.");
        return;
    }
    auto proof = identity_.sign(deviceProofText(*ownOffer_, *bridgeOffer_, certificate_));
    if (!proof) {
        refuse("Could not sign this device's proof: " + proof.error().description);
        return;
    }
    if (!send(makeMessage(BridgeMessageKind::proof, {}, {},
                          JSONValue(JSONObject{{"signature", *proof}})))) {
        return;
    }
    proven_ = true;
    emit bridgeProved();
}

void BridgeDevice::bridgePairingNonceArrived(const BridgeMessage& message) {
    if (!awaitingBridgeNonce_) {
        emit problemFound("The bridge sent a pairing nonce nobody asked for.");
        return;
    }
    const std::string* nonce = stringMember(message.body, "nonce");
    if (!nonce || !isNonceV2(*nonce)) {
        emit problemFound("The bridge's pairing nonce is malformed.");
        return;
    }
    awaitingBridgeNonce_ = false;
    // The nonce this device committed to goes out only now that the bridge's is fixed.
    if (!send(makeMessage(BridgeMessageKind::pairingNonce, {}, {},
                          JSONValue(JSONObject{{"nonce", ownPairingNonce_}})))) {
        return;
    }
    code_ = pairingCodeV2(bridgeOffer_->publicKey, ownOffer_->publicKey, bridgeOffer_->nonce,
                          ownOffer_->nonce, *nonce, ownPairingNonce_, certificate_);
    emit pairingCodeReady(*code_);
}

std::optional<std::string> BridgeDevice::pairingCode() const {
    if (handshake_ == Handshake::version2) {
        return code_;
    }
    if (!ownHello_ || !bridgeHello_) {
        return std::nullopt;
    }
    return tarnwick::pairingCode(*ownHello_, *bridgeHello_);
}

void BridgeDevice::requestPairing() {
    if (handshake_ == Handshake::version2) {
        if (!proven_) {
            emit problemFound("Pairing waits until the bridge has proved itself.");
            return;
        }
        ownPairingNonce_ = randomNonceV2();
        code_.reset();
        awaitingBridgeNonce_ = false;
        setPairing(Pairing::requested);
        const std::string commitment = pairingCommitment(identity_.publicKey(), ownPairingNonce_);
        awaitingBridgeNonce_ = send(makeMessage(BridgeMessageKind::pairingRequest, {}, {},
                                                JSONValue(JSONObject{{"commitment", commitment}})))
                                   .hasValue();
        return;
    }
    setPairing(Pairing::requested);
    (void)send(makeMessage(BridgeMessageKind::pairingRequest));
}

std::string BridgeDevice::request(const std::string& method, std::optional<JSONValue> params,
                                  std::function<void(Answer)> answered) {
    std::string id = "r";
    id += std::to_string(nextRequest_++);
    pending_[id] = std::move(answered);
    if (auto sent = send(makeMessage(BridgeMessageKind::request, id, method, std::move(params)));
        !sent) {
        auto callback = std::move(pending_[id]);
        pending_.erase(id);
        if (callback) {
            callback(Unexpected(ErrorBody{{}, sent.error().description}));
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
    if (handshake_ == Handshake::version2 && !proven_ && !refusal_ &&
        !handshakeMessage(message.kind)) {
        return Unexpected(Error{"The bridge has not proven itself on this connection yet."});
    }
    auto encoded = message.encode();
    if (!encoded) {
        return Unexpected(Error{encoded.error().description});
    }
    return sendBytes(QByteArray::fromStdString(*encoded));
}

Expected<void, Error> BridgeDevice::sendBytes(const QByteArray& bytes) {
    if (refusal_) {
        return Unexpected(Error{"This device refused the bridge: " + *refusal_});
    }
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
            callback(Unexpected(ErrorBody{{}, reason}));
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
    const bool version2 = handshake_ == Handshake::version2;
    if (version2 && (refusal_ || (!proven_ && !handshakeMessage(message.kind)))) {
        emit problemFound("The bridge sent \"" + std::string(wireString(message.kind)) +
                          "\" before it proved itself.");
        return;
    }
    switch (message.kind) {
    case BridgeMessageKind::hello: {
        if (version2) {
            bridgeOffered(message);
            break;
        }
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
    case BridgeMessageKind::proof:
        if (version2) {
            bridgeProofArrived(message);
        }
        break;
    case BridgeMessageKind::pairingNonce:
        if (version2) {
            bridgePairingNonceArrived(message);
        }
        break;
    case BridgeMessageKind::pairingAccepted: {
        if (version2) {
            if (!saysVersion2(message.body)) {
                emit problemFound("The bridge accepted without naming handshake version 2.");
            }
            awaitingBridgeNonce_ = false;
            setPairing(Pairing::accepted);
            break;
        }
        auto hello = message.body ? HelloPayload::fromJSON(*message.body)
                                  : Expected<HelloPayload, Error>(Unexpected(Error{"no body"}));
        if (!hello || !bridgeHello_ || !(*hello == *bridgeHello_)) {
            emit problemFound("The bridge accepted with a hello other than the one it sent.");
        }
        setPairing(Pairing::accepted);
        break;
    }
    case BridgeMessageKind::pairingRejected:
        awaitingBridgeNonce_ = false;
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
                        callback(Unexpected(ErrorBody::read(message.body, "The bridge refused.")));
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
    case BridgeMessageKind::ceiling:
        if (version2 && isAccepted() && message.body && message.body->objectValue()) {
            ceiling_ = *message.body;
        }
        break;
    case BridgeMessageKind::serverRequest:
        if (message.id && message.method) {
            const JSONValue* params =
                version2 && message.body ? message.body->member("params") : nullptr;
            emit serverRequestReceived(*message.id, *message.method,
                                       params         ? *params
                                       : version2     ? JSONValue(JSONObject{})
                                       : message.body ? *message.body
                                                      : JSONValue(JSONObject{}));
        }
        break;
    case BridgeMessageKind::notTrusted:
        notTrusted_ = version2;
        break;
    case BridgeMessageKind::forgotten:
        forgotten_ = version2;
        break;
    case BridgeMessageKind::serverRequestSettled:
        if (version2 && message.id) {
            emit serverRequestSettled(*message.id,
                                      message.body ? *message.body : JSONValue(JSONObject{}));
        }
        break;
    default:
        break;
    }
    if (self && !refusal_) {
        emit messageReceived(message);
    }
}

} // namespace tarnwick

#pragma once

// Stand-ins for the controller's neighbours, for the cases where a fault must be forced or a
// step observed exactly. Each records what the controller asked of it.

#include "bridge/BridgeAppServer.h"
#include "bridge/BridgeCeilings.h"
#include "bridge/BridgeIdentity.h"
#include "bridge/BridgeTrustStore.h"
#include "link/BridgeLink.h"
#include "platform/HostNameService.h"
#include "platform/LoginItemService.h"
#include "protocol/BridgeMessage.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarnwick::testing {

class FakeLink : public BridgeLink {
public:
    struct Sent {
        PeerHandle peer;
        BridgeMessage message;
    };

    void setEvents(LinkEvents* events) override { events_ = events; }
    std::vector<PeerHandle> connectedPeers() const override { return connected; }
    Expected<void, Error> send(const QByteArray& bytes, const PeerHandle& peer) override {
        if (failingPeers.contains(peer) ||
            std::find(connected.begin(), connected.end(), peer) == connected.end()) {
            return Unexpected(Error{"The peer is not connected."});
        }
        auto message =
            BridgeMessage::decode(std::string_view(bytes.constData(), std::size_t(bytes.size())));
        if (message) {
            sent.push_back({peer, *message});
        }
        return {};
    }
    std::size_t waitingBytes(const PeerHandle& peer) const override {
        auto found = waiting.find(peer);
        return found == waiting.end() ? 0 : found->second;
    }
    void start() override { ++starts; }
    void setSessionStage(const PeerHandle&, SessionStage) override {}
    void closeSession(const PeerHandle& peer, const std::string&, SessionClose how) override {
        closedByOwner.push_back(peer);
        closeCodes.push_back(how);
        if (events_) {
            events_->ended(peer, SessionEnd::closedByOwner);
        }
        disconnect(peer);
    }
    std::string statusText() const override { return status; }
    std::string certificateFingerprint() const override { return fingerprint; }
    std::string authorityFingerprint() const override { return authority; }
    std::string webAddress() const override { return web; }

    // Device side of the fake.
    PeerHandle connect(const std::string& name, int protocolVersion = 1) {
        auto peer = std::make_shared<const Peer>(name, std::nullopt, protocolVersion);
        connected.push_back(peer);
        if (events_) {
            events_->connected(peer);
        }
        return peer;
    }
    void disconnect(const PeerHandle& peer) {
        std::erase(connected, peer);
        if (events_) {
            events_->disconnected(peer);
        }
    }
    // The peer read everything that waited for it.
    void ease(const PeerHandle& peer) {
        waiting.erase(peer);
        if (events_) {
            events_->eased(peer);
        }
    }
    void deliver(const PeerHandle& peer, std::string_view bytes) {
        if (events_) {
            events_->received(bytes, peer);
        }
    }
    void deliver(const PeerHandle& peer, const BridgeMessage& message) {
        deliver(peer, *message.encode());
    }
    std::vector<BridgeMessage> sentTo(const PeerHandle& peer) const {
        std::vector<BridgeMessage> messages;
        for (const auto& entry : sent) {
            if (entry.peer == peer) {
                messages.push_back(entry.message);
            }
        }
        return messages;
    }

    std::vector<PeerHandle> connected;
    std::map<PeerHandle, std::size_t> waiting;
    std::vector<PeerHandle> closedByOwner;
    std::vector<SessionClose> closeCodes;
    std::set<PeerHandle> failingPeers;
    std::vector<Sent> sent;
    std::string status = "Starting\u2026";
    std::string fingerprint;
    std::string authority;
    std::string web;
    int starts = 0;

private:
    LinkEvents* events_ = nullptr;
};

class FakeAppServer : public BridgeAppServer {
public:
    struct Request {
        std::string method;
        JSONValue params;
        Completion completion;
    };
    struct Reply {
        JSONValue id;
        std::optional<JSONValue> result;
        std::optional<std::string> errorMessage;
    };

    void setHandlers(Handlers handlers) override { handlers_ = std::move(handlers); }
    std::optional<std::string> findCodexExecutable() const override { return executable; }
    void start(std::optional<std::string> path) override {
        starts.push_back(path);
        if (handlers_.status) {
            handlers_.status(path ? "Starting Codex app-server\u2026"
                                  : "Codex CLI was not found in /opt/homebrew/bin, /usr/local/bin, "
                                    "or the bridge PATH.",
                             false);
        }
    }
    void request(std::string method, JSONValue params, Completion completion) override {
        requests.push_back({std::move(method), std::move(params), std::move(completion)});
    }
    void respond(JSONValue id, JSONValue result) override {
        replies.push_back({std::move(id), std::move(result), std::nullopt});
    }
    void respondError(JSONValue id, std::string message) override {
        replies.push_back({std::move(id), std::nullopt, std::move(message)});
    }
    void holdOutput(bool hold) override { held = hold; }

    // App-server side of the fake.
    void status(const std::string& text, bool ready) { handlers_.status(text, ready); }
    void log(const std::string& text) { handlers_.log(text); }
    void notify(const std::string& method, const JSONValue& params) {
        handlers_.notification(method, *JSONText::encode(params));
    }
    // Answers request `index` with `result`, as the app-server's text of it would.
    void answer(std::size_t index, const JSONValue& result) {
        requests.at(index).completion(*JSONText::encode(result));
    }
    void ask(const JSONValue& id, const std::string& method, const JSONValue& params) {
        handlers_.serverRequest(id, method, *JSONText::encode(params));
    }

    std::optional<std::string> executable = "/usr/local/bin/codex";
    std::vector<std::optional<std::string>> starts;
    std::vector<Request> requests;
    std::vector<Reply> replies;
    bool held = false;

private:
    Handlers handlers_;
};

class FakeTrustStore : public BridgeTrustStore {
public:
    std::vector<TrustedPeer> records() const override {
        std::vector<TrustedPeer> all;
        for (const auto& [id, peer] : peers) {
            all.push_back(peer);
        }
        return all;
    }
    std::optional<TrustedPeer> lookupPeer(std::string_view deviceID) const override {
        auto found = peers.find(std::string(deviceID));
        return found == peers.end() ? std::nullopt : std::optional(found->second);
    }
    Expected<void, Error> trust(const HelloPayload& hello) override {
        peers[hello.deviceID] = {hello.deviceID, hello.displayName, hello.publicKey, now};
        return written();
    }
    Expected<void, Error> trustVersion2(const HelloOffer& offer) override {
        peers[offer.deviceID] = {offer.deviceID, offer.displayName, offer.publicKey, now, 2};
        return written();
    }
    Expected<void, Error> upgradeToVersion2(std::string_view deviceID) override {
        if (auto found = peers.find(std::string(deviceID)); found != peers.end()) {
            found->second.protocolVersion = 2;
        }
        return {};
    }
    Expected<void, Error> remove(std::string_view deviceID) override {
        peers.erase(std::string(deviceID));
        return written();
    }

    std::map<std::string, TrustedPeer> peers;
    // A write is made, and then reported as failed, as a keychain can.
    bool failWrites = false;
    double now = 786000000.5;

private:
    Expected<void, Error> written() const {
        if (failWrites) {
            return Unexpected(Error{"Keychain error -25299"});
        }
        return {};
    }
};

class FakeLoginItems : public LoginItemService {
public:
    int status() const override { return currentStatus; }
    Expected<void, PlatformError> registerApplication() override { return change(enabled); }
    Expected<void, PlatformError> unregisterApplication() override { return change(0); }
    int currentStatus = 0;
    bool fail = false;

private:
    Expected<void, PlatformError> change(int status) {
        if (fail) {
            return Unexpected(PlatformError{"Permission denied"});
        }
        currentStatus = status;
        return {};
    }
};

class FakeCeilings : public BridgeCeilings {
public:
    CeilingBook load() const override { return book; }
    Expected<void, Error> save(const CeilingBook& changed) override {
        if (failSave) {
            return Unexpected(Error{"The disk is full."});
        }
        book = changed;
        return {};
    }
    std::string codexFolder() const override { return folder; }
    CeilingBook book;
    std::string folder = "/";
    bool failSave = false;
};

class FakeHostName : public HostNameService {
public:
    std::optional<std::string> localizedName() const override { return name; }
    std::optional<std::string> name = "Studio";
};

} // namespace tarnwick::testing

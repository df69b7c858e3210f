#pragma once

#include "bridge/BridgeAppServer.h"
#include "bridge/DeviceSender.h"
#include "bridge/PeerSessions.h"

#include <map>
#include <string>
#include <string_view>

namespace tarnwick {

// The app-server's approval questions: each goes to the first authorised device in the link's
// order under an id of its own, and the decision of any authorised device goes back. Every
// other server request, and every question no device can be asked, the bridge answers itself,
// never with an approval. Main thread only.
class ApprovalRouter {
public:
    ApprovalRouter(BridgeAppServer& appServer, const PeerSessions& sessions,
                   const DeviceSender& sender);

    // The two kinds of approval question forwarded to a device; exact text equality.
    static bool isApprovalMethod(std::string_view method);

    void handleServerRequest(const JSONValue& id, const std::string& method,
                             const JSONValue& params);
    void handleServerResponse(const BridgeMessage& message, const PeerHandle& peer);
    // Ends the open questions of an app-server process that is being replaced.
    void forgetOpenQuestions();
    std::size_t openQuestionCount() const { return pending_.size(); }

private:
    BridgeAppServer& appServer_;
    const PeerSessions& sessions_;
    const DeviceSender& sender_;
    // Bridge request id -> the app-server's own id for the question. An entry leaves when it is
    // answered, when it could not be sent, or when its app-server process is replaced; it grows
    // only with the questions the app-server asks.
    std::map<std::string, JSONValue> pending_;
};

} // namespace tarnwick

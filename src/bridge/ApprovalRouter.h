#pragma once

#include "bridge/ActivityLog.h"
#include "bridge/BridgeAppServer.h"
#include "bridge/DeviceSender.h"
#include "bridge/OpenQuestions.h"
#include "bridge/PeerSessions.h"
#include "bridge/QuestionContext.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The app-server's approval questions, kept until they are settled: a device answers with a
// decision Codex offered, Codex withdraws the question (serverRequest/resolved, or its turn
// ended), the app-server is restarted, or it waited longer than the wait limit for a paired
// device to come back. Every authorised version-2 session is shown every open question, when
// Codex asks and again right after it authenticates, and is told how each one it was shown
// ended. A version-1 session sees what it always saw: a question goes to the first authorised
// version-1 session when Codex asks (or, with none then, to the first that authenticates while
// it is open), once. Every other server request the bridge answers itself, never with an
// approval. Main thread only.
class ApprovalRouter : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using NameShown = std::function<std::string(std::string_view name)>;
    // How long a question waits for a paired device: zero declines at once (what the bridge
    // did before it kept questions), nullopt waits as long as Codex does.
    using WaitLimit = std::optional<std::chrono::milliseconds>;
    static constexpr std::chrono::minutes defaultWaitLimit{10};

    ApprovalRouter(BridgeAppServer& appServer, PeerSessions& sessions, const DeviceSender& sender,
                   ActivityLog log, NameShown nameShown, Clock clock = {},
                   QObject* parent = nullptr);

    // The two kinds of approval question forwarded to a device; exact text equality.
    static bool isApprovalMethod(std::string_view method);

    void handleServerRequest(const JSONValue& id, const std::string& method,
                             const JSONText& params);
    void handleServerResponse(const BridgeMessage& message, const PeerHandle& peer);
    // Codex's notifications, for the ones that settle questions or end turns.
    void observeEvent(const std::string& method, const JSONText& params);
    // The app-server process is being replaced: its questions end with it, unanswered.
    void appServerRestarting();

    void setWaitLimit(WaitLimit limit);
    WaitLimit waitLimit() const { return waitLimit_; }
    std::size_t openQuestionCount() const { return questions_.size(); }

signals:
    // A question began to wait with no paired device connected, and stopped waiting (a device
    // came back, or the question was settled).
    void waitingStarted(const tarnwick::WaitingQuestion& question);
    void waitingEnded(const std::string& bridgeID);
    // A turn ended while no paired device was connected.
    void turnEndedUnattended(const std::string& threadID, const std::string& cwd);

private:
    void offer(OpenQuestion& question, const std::vector<PeerHandle>& peers);
    void sessionAuthenticated(const PeerHandle& peer);
    void sessionsChanged();
    void startWaiting(OpenQuestion& question);
    void declineOverdue();
    void armWaitTimer();
    // Tells the sessions shown it how it ended; answers Codex only when `result` is given.
    void settle(OpenQuestion question, const JSONValue& outcome,
                const std::optional<JSONValue>& result);
    void tellWhatEndedMeanwhile(const PeerHandle& peer, const std::string& deviceID);
    bool anyDeviceConnected() const;
    std::chrono::steady_clock::time_point now() const;

    BridgeAppServer& appServer_;
    PeerSessions& sessions_;
    const DeviceSender& sender_;
    ActivityLog log_;
    NameShown nameShown_;
    Clock clock_;
    WaitLimit waitLimit_ = defaultWaitLimit;
    OpenQuestions questions_;
    QTimer waitTimer_;
    // How questions ended, for the devices that were shown them: told when each device
    // authenticates again. The oldest go first beyond maxLateNotes.
    struct LateNote {
        std::string bridgeID;
        JSONValue outcome;
        std::set<std::string> devices;
    };
    static constexpr std::size_t maxLateNotes = 64;
    std::deque<LateNote> lateNotes_;
    QuestionContext context_;
};

} // namespace tarnwick

#include "tarnwick-device/ChatSession.h"

#include "tarnwick-device/JSONText.h"

#include <QPointer>

#include <optional>

namespace tarnwick {

namespace {

// What the bridge's computer is known to refuse, said before asking it. The folders are left
// to the bridge, which follows their links.
std::optional<std::string> overTheCeiling(const std::optional<JSONValue>& ceiling,
                                          const DeviceArguments& arguments) {
    const JSONValue* never = ceiling ? ceiling->member("approvalNever") : nullptr;
    if (arguments.approvalPolicy && *arguments.approvalPolicy == "never" && never &&
        never->boolValue() == false) {
        return "The bridge's computer lets devices choose only among the asking approval "
               "policies (untrusted, on-request), not turn approvals off.";
    }
    return std::nullopt;
}

} // namespace

Expected<std::string, DeviceFailure> ChatSession::startThread(DeviceSession& session,
                                                              const DeviceArguments& arguments) {
    if (auto over = overTheCeiling(session.device().ceiling(), arguments)) {
        return Unexpected(DeviceFailure{ExitStatus::failed, *over});
    }
    JSONObject threadParams;
    if (arguments.thread) {
        threadParams.set("threadId", *arguments.thread);
    }
    if (arguments.workingFolder) {
        threadParams.set("cwd", *arguments.workingFolder);
    }
    if (arguments.approvalPolicy) {
        threadParams.set("approvalPolicy", *arguments.approvalPolicy);
    }
    auto started = session.call(arguments.thread ? "thread/resume" : "thread/start",
                                JSONValue(std::move(threadParams)));
    if (!started) {
        return Unexpected(started.error());
    }
    std::string threadID = textAt(*started, "thread", "id");
    if (threadID.empty()) {
        return Unexpected(DeviceFailure{ExitStatus::failed, "The bridge did not name the thread."});
    }
    return threadID;
}

ChatSession::ChatSession(DeviceSession& session, std::string threadID, bool declineAll,
                         std::ostream& out, std::ostream& err)
    : session_(session), device_(session.device()), threadID_(std::move(threadID)), out_(out),
      err_(err), desk_(device_, prompt_, err, declineAll) {
    connect(&device_, &BridgeDevice::eventReceived, this, &ChatSession::eventReceived);
    connect(&device_, &BridgeDevice::serverRequestReceived, this,
            [this](const std::string& id, const std::string& method, const JSONValue& params) {
                desk_.asked(id, method, params);
            });
    connect(
        &device_, &BridgeDevice::serverRequestSettled, this,
        [this](const std::string& id, const JSONValue& outcome) { desk_.settled(id, outcome); });
    connect(&input_, &InputLines::lineRead, this, &ChatSession::lineRead);
    connect(&input_, &InputLines::ended, this, &ChatSession::inputEnded);
    connect(&interrupt_, &InterruptSignal::interrupted, this, &ChatSession::interrupted);
}

bool ChatSession::run() {
    return session_.waitFor([this] { return finished_; });
}

void ChatSession::lineRead(const std::string& line) {
    if (desk_.awaitsAnswer()) {
        desk_.answerLine(line);
    } else if (!line.empty()) {
        prompts_.push_back(line);
        startNextTurn();
    }
}

void ChatSession::inputEnded() {
    desk_.inputEnded();
    inputDone_ = true;
    startNextTurn();
}

void ChatSession::interrupted() {
    if (!turnRunning_) {
        finished_ = true;
    } else if (turnID_.empty()) {
        interruptWanted_ = true;
    } else {
        interruptTurn();
    }
}

void ChatSession::eventReceived(const std::string& method, const JSONValue& params) {
    prompt_.observeEvent(method, params);
    if (textOf(params, "threadId") != threadID_) {
        return;
    }
    if (method == "item/agentMessage/delta") {
        streamedMessages_.insert(textOf(params, "itemId"));
        out_ << textOf(params, "delta") << std::flush;
    } else if (method == "item/completed") {
        // A message that came whole, without pieces before it, is shown whole.
        const JSONValue* item = params.member("item");
        if (item && textOf(*item, "type") == "agentMessage" &&
            !streamedMessages_.count(textOf(*item, "id"))) {
            out_ << textOf(*item, "text") << std::flush;
        }
    } else if (method == "turn/started") {
        learnTurn(textAt(params, "turn", "id"));
    } else if (method == "turn/completed") {
        turnCompleted(params);
    } else if (method == "error") {
        const JSONValue* error = params.member("error");
        std::string message = error ? textOf(*error, "message") : std::string();
        err_ << "Codex: " << (message.empty() ? encoded(params) : message) << "\n" << std::flush;
    }
}

void ChatSession::turnCompleted(const JSONValue& params) {
    out_ << "\n" << std::flush;
    const std::string status = textAt(params, "turn", "status");
    if (!status.empty() && status != "completed") {
        err_ << "(turn " << status << ")\n" << std::flush;
    }
    turnRunning_ = false;
    startNextTurn();
}

void ChatSession::startNextTurn() {
    if (turnRunning_) {
        return;
    }
    if (prompts_.empty()) {
        finished_ = inputDone_;
        return;
    }
    std::string text = std::move(prompts_.front());
    prompts_.pop_front();
    turnRunning_ = true;
    turnID_.clear();
    interruptWanted_ = false;
    JSONObject input{{"type", "text"}, {"text", text}};
    device_.request("turn/start",
                    JSONObject{{"threadId", threadID_}, {"input", JSONArray{JSONValue(input)}}},
                    [self = QPointer<ChatSession>(this)](BridgeDevice::Answer answer) {
                        if (self) {
                            self->turnStartAnswered(std::move(answer));
                        }
                    });
}

void ChatSession::turnStartAnswered(BridgeDevice::Answer answer) {
    if (!answer) {
        err_ << answer.error().message << "\n" << std::flush;
        turnRunning_ = false;
        startNextTurn();
    } else {
        learnTurn(textAt(*answer, "turn", "id"));
    }
}

void ChatSession::learnTurn(const std::string& id) {
    if (turnID_.empty() && !id.empty()) {
        turnID_ = id;
        if (interruptWanted_) {
            interruptTurn();
        }
    }
}

void ChatSession::interruptTurn() {
    interruptWanted_ = false;
    err_ << "\nInterrupting the turn...\n" << std::flush;
    device_.request("turn/interrupt", JSONObject{{"threadId", threadID_}, {"turnId", turnID_}},
                    [self = QPointer<ChatSession>(this)](BridgeDevice::Answer answer) {
                        if (self && !answer) {
                            self->err_ << answer.error().message << "\n" << std::flush;
                        }
                    });
}

} // namespace tarnwick

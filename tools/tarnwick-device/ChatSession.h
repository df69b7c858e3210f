#pragma once

#include "tarnwick-device/ApprovalDesk.h"
#include "tarnwick-device/ApprovalPrompt.h"
#include "tarnwick-device/DeviceArguments.h"
#include "tarnwick-device/DeviceSession.h"
#include "tarnwick-device/InputLines.h"
#include "tarnwick-device/InterruptSignal.h"

#include <QObject>

#include <deque>
#include <ostream>
#include <set>
#include <string>

namespace tarnwick {

// The chat command on an open session: each line of input is a prompt, sent as one turn once
// the turn before it has completed, whose agent messages are printed as they stream in.
// Approval questions are asked between prompts; Ctrl-C interrupts the running turn, or ends
// the chat between turns. It hears the device, its input and Ctrl-C through Qt signals.
class ChatSession : public QObject {
    Q_OBJECT
public:
    // Starts (or, with --thread, resumes) the thread to chat in; gives its id.
    static Expected<std::string, DeviceFailure> startThread(DeviceSession& session,
                                                            const DeviceArguments& arguments);

    ChatSession(DeviceSession& session, std::string threadID, bool declineAll, std::ostream& out,
                std::ostream& err);

    // Runs until the input has ended and its last turn is done, or Ctrl-C came between turns
    // (true), or the bridge went away (false).
    bool run();

private:
    void lineRead(const std::string& line);
    void inputEnded();
    void interrupted();
    void eventReceived(const std::string& method, const JSONValue& params);
    void turnCompleted(const JSONValue& params);
    // Sends the next waiting prompt when no turn runs; with none left after the input ended,
    // the chat is finished.
    void startNextTurn();
    void turnStartAnswered(BridgeDevice::Answer answer);
    void learnTurn(const std::string& id);
    void interruptTurn();

    DeviceSession& session_;
    BridgeDevice& device_;
    const std::string threadID_;
    std::ostream& out_;
    std::ostream& err_;
    ApprovalPrompt prompt_;
    ApprovalDesk desk_;
    std::deque<std::string> prompts_;
    bool turnRunning_ = false;
    bool inputDone_ = false;
    bool finished_ = false;
    std::string turnID_;
    // Ctrl-C came before the turn's id was known: interrupt as soon as it is.
    bool interruptWanted_ = false;
    std::set<std::string> streamedMessages_;
    InputLines input_;
    InterruptSignal interrupt_;
};

} // namespace tarnwick

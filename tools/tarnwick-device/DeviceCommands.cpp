#include "tarnwick-device/DeviceCommands.h"

#include "link/CertificateFingerprint.h"
#include "tarnwick-device/ApprovalDesk.h"
#include "tarnwick-device/BridgeBrowser.h"
#include "tarnwick-device/ChatSession.h"
#include "tarnwick-device/InputLines.h"
#include "tarnwick-device/InterruptSignal.h"
#include "tarnwick-device/JSONText.h"

#include <QHostAddress>

namespace tarnwick {

namespace {

int statusOf(ExitStatus status) {
    return static_cast<int>(status);
}

} // namespace

int discoverBridges(const DeviceArguments& arguments, const std::string& displayName,
                    std::ostream& out, std::ostream& err) {
    BridgeBrowser browser(displayName);
    auto found = browser.browse(std::chrono::seconds(arguments.browseSeconds));
    if (arguments.json) {
        JSONArray list;
        for (const FoundBridge& bridge : found) {
            list.push_back(JSONObject{{"name", bridge.name},
                                      {"address", bridge.endpoint.host},
                                      {"port", bridge.endpoint.port}});
        }
        out << encoded(JSONValue(std::move(list))) << "\n";
    } else {
        for (const FoundBridge& bridge : found) {
            out << bridge.name << "\t" << bridge.endpoint.host << "\t" << bridge.endpoint.port
                << "\n";
        }
    }
    out << std::flush;
    if (found.empty()) {
        err << "No bridge found on the local network.\n";
        return statusOf(ExitStatus::unreachable);
    }
    return statusOf(ExitStatus::done);
}

DeviceCommands::DeviceCommands(DeviceContext context)
    : context_(std::move(context)), store_(context_.settings) {}

int DeviceCommands::run(const DeviceArguments& arguments) {
    switch (arguments.command) {
    case DeviceArguments::Command::discover:
        return discoverBridges(arguments, context_.displayName, context_.out, context_.err);
    case DeviceArguments::Command::pair:
        return pair(arguments);
    case DeviceArguments::Command::call:
        return call(arguments);
    case DeviceArguments::Command::watch:
        return watch(arguments);
    case DeviceArguments::Command::chat:
        return chat(arguments);
    case DeviceArguments::Command::answer:
        return answer(arguments);
    case DeviceArguments::Command::none:
        break;
    }
    context_.err << usageText(DeviceArguments::Command::none);
    return statusOf(ExitStatus::usage);
}

int DeviceCommands::failed(const DeviceFailure& failure) {
    context_.out << std::flush;
    context_.err << failure.text << "\n" << std::flush;
    return statusOf(failure.status);
}

Expected<BridgeAddress, DeviceFailure>
DeviceCommands::pairingAddress(const DeviceArguments& arguments) {
    std::optional<BridgeAddress> given;
    if (arguments.target) {
        given = BridgeAddress::parse(*arguments.target);
        // An address, or anything with a port, needs no browsing.
        const bool literal =
            given && (!QHostAddress(QString::fromStdString(given->host)).isNull() ||
                      arguments.target->find(':') != std::string::npos);
        if (literal) {
            return *given;
        }
    }
    BridgeBrowser browser(context_.displayName);
    auto found = browser.browse(std::chrono::seconds(arguments.browseSeconds));
    if (arguments.target) {
        if (const FoundBridge* bridge = BridgeBrowser::named(found, *arguments.target)) {
            return BridgeAddress{bridge->endpoint.host, bridge->endpoint.port};
        }
        if (given) {
            return *given;
        }
        return Unexpected(DeviceFailure{
            ExitStatus::usage,
            "\"" + *arguments.target + "\" is neither a bridge found nearby nor HOST[:PORT]."});
    }
    if (found.empty()) {
        return Unexpected(DeviceFailure{
            ExitStatus::unreachable,
            "No bridge found on the local network. Name one: tarnwick-device pair HOST[:PORT]"});
    }
    if (found.size() > 1) {
        std::string names;
        for (const FoundBridge& bridge : found) {
            names += "\n  " + bridge.name;
        }
        return Unexpected(DeviceFailure{
            ExitStatus::usage, "Several bridges found; name the one to pair with:" + names});
    }
    return BridgeAddress{found[0].endpoint.host, found[0].endpoint.port};
}

Expected<std::unique_ptr<DeviceSession>, DeviceFailure>
DeviceCommands::openSession(const DeviceArguments& arguments, bool mustBeAccepted) {
    std::optional<BridgeAddress> address;
    if (arguments.target) {
        address = BridgeAddress::parse(*arguments.target);
        if (!address) {
            return Unexpected(DeviceFailure{ExitStatus::usage,
                                            "\"" + *arguments.target + "\" is not HOST[:PORT]."});
        }
    } else if (auto remembered = store_.load(); remembered && !remembered->address.host.empty()) {
        address = remembered->address;
    } else {
        return Unexpected(DeviceFailure{ExitStatus::notPaired, "Pair this device first."});
    }
    auto session = std::make_unique<DeviceSession>(context_.identity, context_.displayName, store_,
                                                   context_.err);
    if (auto opened = session->open(*address); !opened) {
        return Unexpected(opened.error());
    }
    if (mustBeAccepted && !session->device().isAccepted()) {
        return Unexpected(DeviceFailure{ExitStatus::notPaired, "Pair this device first."});
    }
    // Only the paired bridge may have this device's work, whoever else would accept it.
    if (mustBeAccepted && session->recognition() == RememberedBridgeStore::Recognition::unknown &&
        store_.load()) {
        return Unexpected(
            DeviceFailure{ExitStatus::notPaired,
                          "The bridge at " + address->toString() +
                              " is not the one this device paired with. Pair with it first."});
    }
    return session;
}

int DeviceCommands::pair(const DeviceArguments& arguments) {
    auto address = pairingAddress(arguments);
    if (!address) {
        return failed(address.error());
    }
    DeviceSession session(context_.identity, context_.displayName, store_, context_.err);
    auto opened =
        session.open(*address, arguments.replace ? DeviceSession::KeyPolicy::acceptChangedKey
                                                 : DeviceSession::KeyPolicy::refuseChangedKey);
    if (!opened) {
        return failed(opened.error());
    }
    BridgeDevice& device = session.device();
    const HelloOffer bridge = *device.bridgeOffer();
    const std::string certificate = groupedFingerprint(device.certificateSeen());
    auto remember = [&] {
        store_.save(RememberedBridge{bridge.deviceID, bridge.publicKey, bridge.displayName,
                                     *address, device.certificateSeen(),
                                     device.certificateKeySeen()});
    };
    auto report = [&](const std::string& outcome, const std::string& text) {
        if (arguments.json) {
            context_.out << encoded(JSONObject{{"event", outcome},
                                               {"bridge", bridge.displayName},
                                               {"bridgeDeviceID", bridge.deviceID},
                                               {"address", address->toString()}})
                         << "\n";
        } else {
            context_.out << text << "\n";
        }
        context_.out << std::flush;
    };

    if (device.isAccepted()) {
        remember();
        report("alreadyPaired", "This device is already paired with " + bridge.displayName +
                                    " at " + address->toString() + ".\n" +
                                    certificateLines(device.certificateSeen()));
        return statusOf(ExitStatus::done);
    }
    // The bridge answers the commitment with its pairing nonce before it answers the ping.
    device.requestPairing();
    if (auto settled = session.settle(); !settled) {
        return failed(settled.error());
    }
    const std::optional<std::string> code = device.pairingCode();
    if (!code) {
        return failed({ExitStatus::notPaired,
                       "The bridge did not take up the pairing request. If it knows this device "
                       "with another key, forget the device on the bridge first."});
    }
    if (arguments.json) {
        context_.out << encoded(JSONObject{{"event", "code"},
                                           {"code", *code},
                                           {"bridge", bridge.displayName},
                                           {"certificate", certificate}})
                     << "\n";
    } else {
        context_.out << certificateLines(device.certificateSeen()) << "\n"
                     << "Pairing code: " << *code << "\n"
                     << "Compare it with the code the bridge \"" << bridge.displayName
                     << "\" shows and accept there only if the two are the same.\n"
                     << "Waiting for the bridge to decide...\n";
    }
    context_.out << std::flush;
    session.waitFor([&] {
        return device.pairing() == BridgeDevice::Pairing::accepted ||
               device.pairing() == BridgeDevice::Pairing::rejected;
    });
    if (device.pairing() == BridgeDevice::Pairing::accepted) {
        remember();
        report("accepted",
               "Pairing accepted: this device is now paired with " + bridge.displayName + ".");
        return statusOf(ExitStatus::done);
    }
    if (device.pairing() == BridgeDevice::Pairing::rejected) {
        report("rejected",
               "Pairing rejected: " + bridge.displayName + " did not accept this device.");
        return statusOf(ExitStatus::notPaired);
    }
    return failed(session.endFailure("The bridge went away before it decided."));
}

int DeviceCommands::call(const DeviceArguments& arguments) {
    std::optional<JSONValue> params;
    if (arguments.params) {
        auto decoded = JSONValue::decode(*arguments.params);
        if (!decoded) {
            return failed({ExitStatus::usage,
                           "The params are not valid JSON: " + decoded.error().description});
        }
        params = std::move(decoded).value();
    }
    // A device the bridge does not know still asks, and the bridge's refusal is the answer.
    auto session = openSession(arguments, false);
    if (!session) {
        return failed(session.error());
    }
    auto result = (*session)->call(arguments.method, std::move(params));
    if (!result) {
        return failed(result.error());
    }
    context_.out << encoded(*result) << "\n" << std::flush;
    return statusOf(ExitStatus::done);
}

int DeviceCommands::watch(const DeviceArguments& arguments) {
    auto opened = openSession(arguments, true);
    if (!opened) {
        return failed(opened.error());
    }
    DeviceSession& session = **opened;
    BridgeDevice& device = session.device();
    ApprovalPrompt prompt;
    ApprovalDesk desk(device, prompt, context_.err, arguments.declineAll);
    InputLines input;
    bool stopped = false;
    InterruptSignal interrupt;
    // The context of the connections below: declared after what they capture, it goes first
    // and takes them with it.
    QObject watching;
    QObject::connect(&input, &InputLines::lineRead, &watching,
                     [&desk](const std::string& line) { desk.answerLine(line); });
    QObject::connect(&input, &InputLines::ended, &watching, [&desk] { desk.inputEnded(); });
    QObject::connect(&interrupt, &InterruptSignal::interrupted, &watching,
                     [&stopped] { stopped = true; });
    QObject::connect(&device, &BridgeDevice::eventReceived, &watching,
                     [&](const std::string& method, const JSONValue& params) {
                         prompt.observeEvent(method, params);
                         context_.out << encoded(JSONObject{{"method", method}, {"params", params}})
                                      << "\n"
                                      << std::flush;
                     });
    QObject::connect(
        &device, &BridgeDevice::serverRequestReceived, &watching,
        [&](const std::string& id, const std::string& method, const JSONValue& params) {
            context_.out << encoded(JSONObject{
                                {"serverRequest", id}, {"method", method}, {"params", params}})
                         << "\n"
                         << std::flush;
            desk.asked(id, method, params);
        });
    QObject::connect(
        &device, &BridgeDevice::serverRequestSettled, &watching,
        [&](const std::string& id, const JSONValue& outcome) {
            context_.out << encoded(JSONObject{{"serverRequestSettled", id}, {"outcome", outcome}})
                         << "\n"
                         << std::flush;
            desk.settled(id, outcome);
        });
    context_.err << "Watching " << device.bridgeOffer()->displayName << " at "
                 << session.address().toString() << "; Ctrl-C stops.\n"
                 << std::flush;
    session.waitFor([&] { return stopped; });
    if (stopped) {
        return statusOf(ExitStatus::done);
    }
    return failed(session.endFailure("The bridge went away."));
}

int DeviceCommands::answer(const DeviceArguments& arguments) {
    JSONValue decision = arguments.decision;
    // A word is sent as it is; JSON (an object, say) as what it encodes.
    const char first = arguments.decision.empty() ? '\0' : arguments.decision.front();
    if (first == '{' || first == '[' || first == '"') {
        auto decoded = JSONValue::decode(arguments.decision);
        if (!decoded) {
            return failed({ExitStatus::usage,
                           "The decision is not valid JSON: " + decoded.error().description});
        }
        decision = std::move(decoded).value();
    }
    auto opened = openSession(arguments, true);
    if (!opened) {
        return failed(opened.error());
    }
    DeviceSession& session = **opened;
    session.device().answer(arguments.questionID, ApprovalPrompt::response(std::move(decision)));
    if (auto settled = session.settle(); !settled) {
        return failed(settled.error());
    }
    context_.err << "Answer sent.\n" << std::flush;
    return statusOf(ExitStatus::done);
}

int DeviceCommands::chat(const DeviceArguments& arguments) {
    auto opened = openSession(arguments, true);
    if (!opened) {
        return failed(opened.error());
    }
    DeviceSession& session = **opened;
    auto threadID = ChatSession::startThread(session, arguments);
    if (!threadID) {
        return failed(threadID.error());
    }
    context_.err << "Thread " << *threadID
                 << ". Type a prompt and press Enter; Ctrl-C interrupts a turn, Ctrl-D ends.\n"
                 << std::flush;
    ChatSession chat(session, *threadID, arguments.declineAll, context_.out, context_.err);
    if (chat.run()) {
        return statusOf(ExitStatus::done);
    }
    return failed(session.endFailure("The bridge went away."));
}

} // namespace tarnwick

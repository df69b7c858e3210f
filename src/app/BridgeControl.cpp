#include "app/BridgeControl.h"

#include "bridge/BridgeController.h"
#include "platform/ReferenceDate.h"
#include "ui/ApprovalSettings.h"
#include "ui/CeilingCommand.h"
#include "ui/DisplayText.h"
#include "ui/PhonePairingText.h"

#include <QDateTime>

#include <algorithm>
#include <limits>

namespace tarnwick {

namespace {

std::optional<int> number(const QString& argument) {
    bool ok = false;
    const int value = argument.toInt(&ok);
    if (!ok || value < 1) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> serial(const QString& argument) {
    bool ok = false;
    const std::uint64_t value = argument.toULongLong(&ok);
    if (!ok || value < 1) {
        return std::nullopt;
    }
    return value;
}

// The notifier's number: a serial beyond it would take more requests than a bridge sees.
int shownNumber(std::uint64_t serial) {
    return static_cast<int>(std::min<std::uint64_t>(serial, std::numeric_limits<int>::max()));
}

SingleInstance::ControlAnswer refused(const QString& text) {
    return {false, text + u'\n'};
}

} // namespace

QString BridgeControl::shown(const std::string& name) const {
    return visibleText(QString::fromStdString(controller_.shownName(name)));
}

BridgeControl::BridgeControl(BridgeController& controller, QObject* parent)
    : QObject(parent), controller_(controller) {
    connect(&controller_, &BridgeController::pairingRequestsChanged, this,
            &BridgeControl::refreshRequests);
    refreshRequests();
}

void BridgeControl::refreshRequests() {
    const auto& current = controller_.pairingRequests();
    std::vector<std::uint64_t> ended;
    std::erase_if(requests_, [&](const ShownRequest& shownRequest) {
        const bool gone =
            std::none_of(current.begin(), current.end(), [&](const PairingRequest& request) {
                return request.serial == shownRequest.serial;
            });
        if (gone) {
            ended.push_back(shownRequest.serial);
        }
        return gone;
    });
    for (std::uint64_t serial : ended) {
        emit requestEnded(shownNumber(serial));
    }
    for (const auto& request : current) {
        const bool known =
            std::any_of(requests_.begin(), requests_.end(), [&](const ShownRequest& shownRequest) {
                return shownRequest.serial == request.serial;
            });
        if (!known) {
            requests_.push_back(
                ShownRequest{request.serial, request.code, request.remoteHello.displayName});
            emit requestArrived(shownNumber(request.serial), shown(request.remoteHello.displayName),
                                QString::fromStdString(request.code));
        }
    }
}

SingleInstance::ControlAnswer BridgeControl::handle(const QStringList& words) {
    const QString command = words.value(0);
    const QString argument = words.mid(1).join(u' ');
    const bool bare = words.size() == 1;
    if (command == u"status" && bare) {
        return {true, statusText() + requestsText()};
    }
    if (command == u"requests" && bare) {
        return {true, requestsText()};
    }
    if (command == u"pair" || command == u"reject") {
        return decide(argument, command == u"pair");
    }
    if (command == u"devices" && bare) {
        return {true, devicesText()};
    }
    if (command == u"forget") {
        return forget(argument);
    }
    if (command == u"ceiling") {
        return ceiling(words.mid(1));
    }
    if (command == u"restart" && bare) {
        return {true, logged([&] { controller_.restartAppServer(); },
                             QStringLiteral("Restarting Codex app-server.\n"))};
    }
    if (command == u"phone" && bare) {
        // A new secret each time, replacing the one shown before.
        // In its own colours: the command takes them out when it does not print to a terminal.
        const QStringList lines = PhonePairingText::terminalLines(
            controller_.openPhonePairing(), controller_.certificateFingerprint(),
            controller_.authorityFingerprint(), QrCode::Colours::own);
        return {true, lines.join(u'\n') + u'\n'};
    }
    if (approvalSettings_) {
        if (auto answer = approvalSettings_->handleCommand(command, argument)) {
            return {answer->ok, answer->text};
        }
    }
    return refused(QStringLiteral("Unknown command \"%1\"; see tarnwick-bridge --help.")
                       .arg(visibleText(words.join(u' '))));
}

QString BridgeControl::statusText() const {
    // As the terminal's status shows it: the fingerprint under the link it belongs to.
    QString fingerprint;
    if (const QString shown = controller_.certificateFingerprint(); !shown.isEmpty()) {
        fingerprint = terminalFingerprintLines(shown).join(u'\n') + u'\n';
    }
    return QStringLiteral("Codex engine: %1\nLocal link: %2\n%3Paired devices: %4 trusted\n"
                          "Launch at login: %5\n")
        .arg(visibleText(controller_.appServerStatus()), visibleText(controller_.linkStatus()),
             fingerprint)
        .arg(controller_.trustedPeers().size())
        .arg(controller_.launchAtLogin() ? QStringLiteral("on") : QStringLiteral("off"));
}

QString BridgeControl::requestsText() {
    listedRequests_ = requests_;
    if (requests_.empty()) {
        return QStringLiteral("No pairing requests are waiting.\n");
    }
    QString text;
    for (const ShownRequest& request : requests_) {
        text += QStringLiteral("Pairing request %1 from %2\n    Code:  %3\n    Compare it with "
                               "the code on the device, then run \"tarnwick-bridge pair %1\" or "
                               "\"tarnwick-bridge reject %1\".\n")
                    .arg(QString::number(request.serial), shown(request.displayName),
                         QString::fromStdString(request.code));
    }
    return text;
}

QString BridgeControl::devicesText() {
    const auto& peers = controller_.trustedPeers();
    std::vector<ListedDevice> listed;
    QString text =
        peers.empty() ? QStringLiteral("No trusted devices. Connect a phone: run \"tarnwick-bridge "
                                       "phone\" and scan the code with the phone's camera, or "
                                       "run tarnwick-device on another computer.\n")
                      : QStringLiteral("Trusted devices:\n");
    for (const auto& peer : peers) {
        listed.push_back(ListedDevice{peer.deviceID, peer.displayName});
        const auto pairedAt =
            QDateTime::fromMSecsSinceEpoch(unixMillisecondsFromReferenceSeconds(peer.pairedAt));
        text += QStringLiteral("  %1. %2  (paired %3)\n")
                    .arg(QString::number(listed.size()), shown(peer.displayName),
                         abbreviatedDateTime(pairedAt));
        if (auto own = CeilingCommand::deviceLine(controller_.ceilings(), peer.deviceID)) {
            text += QStringLiteral("     ") + *own + u'\n';
        }
    }
    listedDevices_ = std::move(listed);
    return text;
}

SingleInstance::ControlAnswer BridgeControl::ceiling(const QStringList& words) {
    std::vector<CeilingCommand::ListedDevice> listed;
    for (const ListedDevice& device : listedDevices_.value_or(std::vector<ListedDevice>{})) {
        listed.push_back({device.deviceID, shown(device.displayName)});
    }
    auto outcome = CeilingCommand::run(words, controller_.ceilings(), listed);
    if (outcome.changed) {
        if (auto set = controller_.setCeilings(std::move(*outcome.changed)); !set) {
            return {false, QString::fromStdString(set.error().description) + u'\n'};
        }
    }
    return {outcome.done, outcome.text};
}

template <typename Action>
QString BridgeControl::logged(Action action, const QString& otherwise) {
    QString lines;
    const auto connection =
        connect(&controller_, &BridgeController::lineLogged, this,
                [&lines](const QString& line) { lines += visibleText(line) + u'\n'; });
    action();
    disconnect(connection);
    return lines.isEmpty() ? otherwise : lines;
}

SingleInstance::ControlAnswer BridgeControl::decide(const QString& argument, bool accept) {
    const QString verb = accept ? QStringLiteral("pair") : QStringLiteral("reject");
    const auto wanted = serial(argument);
    if (!wanted) {
        return refused(QStringLiteral("Say which request: \"tarnwick-bridge %1 N\", with N the "
                                      "number of the request.")
                           .arg(verb));
    }
    if (!listedRequests_) {
        return refused(QStringLiteral("Run \"tarnwick-bridge requests\" first to see the numbers "
                                      "of the requests."));
    }
    const auto listed =
        std::find_if(listedRequests_->begin(), listedRequests_->end(),
                     [&](const ShownRequest& request) { return request.serial == *wanted; });
    if (listed == listedRequests_->end()) {
        return refused(QStringLiteral("No pairing request %1 was listed. Run \"tarnwick-bridge "
                                      "requests\" to see the waiting requests.")
                           .arg(*wanted));
    }
    // On the request as it was listed, by its serial and its code: if it is no longer
    // waiting, nothing is done.
    const ShownRequest request = *listed;
    const QString done =
        (accept ? QStringLiteral("Paired %1.\n") : QStringLiteral("Rejected %1.\n"))
            .arg(shown(request.displayName));
    bool decided = false;
    const QString lines = logged(
        [&] {
            decided =
                controller_.decide(request.serial, request.code,
                                   accept ? PairingDecision::accept : PairingDecision::reject);
        },
        done);
    if (!decided) {
        return refused(QStringLiteral("Pairing request %1 changed since it was listed; nothing "
                                      "was done. Run \"tarnwick-bridge requests\" and compare "
                                      "the code again.")
                           .arg(*wanted));
    }
    return {true, lines};
}

SingleInstance::ControlAnswer BridgeControl::forget(const QString& argument) {
    const auto wanted = number(argument);
    if (!wanted) {
        return refused(QStringLiteral("Say which device: \"tarnwick-bridge forget N\", with N its "
                                      "number in the \"tarnwick-bridge devices\" list."));
    }
    if (!listedDevices_) {
        return refused(QStringLiteral(
            "Run \"tarnwick-bridge devices\" first to see the numbers of the devices."));
    }
    if (static_cast<std::size_t>(*wanted) > listedDevices_->size()) {
        return refused(QStringLiteral("There is no device %1 in the last \"tarnwick-bridge "
                                      "devices\" list.")
                           .arg(*wanted));
    }
    const ListedDevice device = (*listedDevices_)[static_cast<std::size_t>(*wanted) - 1];
    const auto& peers = controller_.trustedPeers();
    const bool trusted = std::any_of(peers.begin(), peers.end(), [&](const TrustedPeer& peer) {
        return peer.deviceID == device.deviceID;
    });
    if (!trusted) {
        return refused(shown(device.displayName) + QStringLiteral(" is no longer trusted."));
    }
    return {true, logged([&] { controller_.forgetPeer(QString::fromStdString(device.deviceID)); },
                         QStringLiteral("Forgot %1.\n").arg(shown(device.displayName)))};
}

} // namespace tarnwick

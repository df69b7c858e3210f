#include "ui/TerminalFrontEnd.h"

#include "bridge/BridgeController.h"
#include "platform/ReferenceDate.h"
#include "ui/ApprovalSettings.h"
#include "ui/CeilingCommand.h"
#include "ui/DisplayText.h"
#include "ui/PhonePairingText.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>

namespace tarnwick {

namespace {

using Style = TerminalWriter::Style;

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the reference of stored times.

QString quoted(const QString& text) {
    return QStringLiteral("\"") + text + QStringLiteral("\"");
}

// What the user meant to type: a terminal in line mode passes keys such as Ctrl-L (form feed)
// or the arrows (ESC [ A) into the line as they are. Escape sequences go whole, other control
// characters one by one; a tab separates words.
QString typedText(const QString& line) {
    static const QRegularExpression escapes(
        QStringLiteral("\x1b(?:\\[[\\x30-\\x3f]*[\\x20-\\x2f]*[\\x40-\\x7e]?|O.?|.?)"));
    QString typed = QString(line).remove(escapes);
    typed.replace(u'\t', u' ');
    typed.removeIf(
        [](QChar c) { return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F); });
    return typed;
}

} // namespace

TerminalFrontEnd::TerminalFrontEnd(BridgeController& controller, TerminalWriter& out,
                                   QObject* parent)
    : QObject(parent), controller_(controller), out_(out) {}

void TerminalFrontEnd::begin() {
    out_.line(out_.styled(QStringLiteral("Tarnwick Bridge"), Style::bold) +
              QStringLiteral(" is running in this terminal. Type \"help\" for the commands."));
    printStatus(true);
    // Lines logged before this point (a failed identity) are shown oldest first.
    const auto& earlier = controller_.logs();
    for (auto line = earlier.rbegin(); line != earlier.rend(); ++line) {
        logged(QString::fromStdString(*line));
    }
    refreshRequests();

    // A status change often comes as two (the text, then whether Codex is ready): both are
    // printed as one line once they are done.
    auto statusChanged = [this] {
        if (!statusPending_) {
            statusPending_ = true;
            QTimer::singleShot(0, this, [this] {
                statusPending_ = false;
                printStatus(false);
            });
        }
    };
    connect(&controller_, &BridgeController::appServerStatusChanged, this, statusChanged);
    connect(&controller_, &BridgeController::appServerReadyChanged, this, statusChanged);
    connect(&controller_, &BridgeController::linkStatusChanged, this, statusChanged);
    connect(&controller_, &BridgeController::trustedPeersChanged, this, statusChanged);
    connect(&controller_, &BridgeController::lineLogged, this, &TerminalFrontEnd::logged);
    connect(&controller_, &BridgeController::pairingRequestsChanged, this,
            &TerminalFrontEnd::refreshRequests);
}

// ---------------------------------------------------------------------------------------------
// What the bridge says

QString TerminalFrontEnd::shown(const std::string& name) const {
    return visibleText(QString::fromStdString(controller_.shownName(name)));
}

QString TerminalFrontEnd::engineLine() const {
    return QStringLiteral("Codex engine: ") +
           out_.styled(visibleText(controller_.appServerStatus()),
                       controller_.appServerReady() ? Style::good : Style::warning);
}

QString TerminalFrontEnd::linkLine() const {
    return QStringLiteral("Local link: ") +
           out_.styled(visibleText(controller_.linkStatus()), Style::accent);
}

QString TerminalFrontEnd::devicesLine() const {
    return QStringLiteral("Paired devices: %1 trusted").arg(controller_.trustedPeers().size());
}

void TerminalFrontEnd::printStatus(bool always) {
    const QString engine = engineLine();
    const QString link = linkLine();
    const QString devices = devicesLine();
    if (always || engine != shownEngine_) {
        out_.line(engine);
    }
    if (always || link != shownLink_) {
        out_.line(link);
    }
    if (const QString fingerprint = controller_.certificateFingerprint();
        always && !fingerprint.isEmpty()) {
        // What a person compares with the certificate a browser or a device shows.
        for (const QString& line : terminalFingerprintLines(fingerprint)) {
            out_.line(line);
        }
    }
    if (always || devices != shownDevices_) {
        out_.line(devices);
    }
    shownEngine_ = engine;
    shownLink_ = link;
    shownDevices_ = devices;
}

void TerminalFrontEnd::logged(const QString& line) {
    out_.line(out_.styled(QStringLiteral("\u00b7 "), Style::dim) + visibleText(line));
}

void TerminalFrontEnd::printRequest(const ShownRequest& request) {
    const QString number = QString::number(request.serial);
    out_.line();
    out_.line(out_.styled(QStringLiteral("Pairing request %1 from ").arg(number) +
                              shown(request.displayName),
                          Style::bold));
    out_.line(QStringLiteral("    Code:  ") +
              out_.styled(QString::fromStdString(request.code), Style::code));
    out_.line(QStringLiteral("    Compare it with the code on the device, then type \"pair %1\" "
                             "or \"reject %1\".")
                  .arg(number));
    out_.line();
}

void TerminalFrontEnd::refreshRequests() {
    const auto& current = controller_.pairingRequests();
    auto isCurrent = [&](const ShownRequest& shownRequest) {
        return std::any_of(current.begin(), current.end(), [&](const PairingRequest& request) {
            return request.serial == shownRequest.serial;
        });
    };
    // Requests that ended without the user's word here: the device went away.
    for (const auto& request : requests_) {
        if (!isCurrent(request) && deciding_ != request.serial) {
            out_.line(QStringLiteral("Pairing request %1 from %2 is no longer waiting.")
                          .arg(request.serial)
                          .arg(shown(request.displayName)));
        }
    }
    std::erase_if(requests_, [&](const ShownRequest& request) { return !isCurrent(request); });

    for (const auto& request : current) {
        const bool known =
            std::any_of(requests_.begin(), requests_.end(), [&](const ShownRequest& shownRequest) {
                return shownRequest.serial == request.serial;
            });
        if (!known) {
            requests_.push_back(
                ShownRequest{request.serial, request.code, request.remoteHello.displayName});
            printRequest(requests_.back());
        }
    }
}

void TerminalFrontEnd::printDevices() {
    const auto& peers = controller_.trustedPeers();
    std::vector<ListedDevice> listed;
    if (peers.empty()) {
        out_.line(QStringLiteral(
            "No trusted devices. Connect a phone: type \"phone\" and scan the code with the "
            "phone's camera, or run tarnwick-device on another computer."));
    } else {
        out_.line(QStringLiteral("Trusted devices:"));
    }
    for (const auto& peer : peers) {
        listed.push_back(ListedDevice{peer.deviceID, peer.displayName});
        const auto pairedAt =
            QDateTime::fromMSecsSinceEpoch(unixMillisecondsFromReferenceSeconds(peer.pairedAt));
        out_.line(QStringLiteral("  %1. ").arg(listed.size()) + shown(peer.displayName) +
                  out_.styled(QStringLiteral("  (paired %1)").arg(abbreviatedDateTime(pairedAt)),
                              Style::dim));
        if (peer.protocolVersion < 2) {
            out_.line(out_.styled(QStringLiteral("     ") +
                                      QString::fromLatin1(BridgeController::versionOneNote),
                                  Style::dim));
        }
        if (auto own = CeilingCommand::deviceLine(controller_.ceilings(), peer.deviceID)) {
            out_.line(out_.styled(QStringLiteral("     ") + *own, Style::dim));
        }
    }
    listedDevices_ = std::move(listed);
}

void TerminalFrontEnd::ceiling(const QStringList& words) {
    std::vector<CeilingCommand::ListedDevice> listed;
    for (const ListedDevice& device : listedDevices_.value_or(std::vector<ListedDevice>{})) {
        listed.push_back({device.deviceID, shown(device.displayName)});
    }
    auto outcome = CeilingCommand::run(words, controller_.ceilings(), listed);
    if (outcome.changed) {
        if (auto set = controller_.setCeilings(std::move(*outcome.changed)); !set) {
            return; // The activity log says why.
        }
    }
    for (const QString& line : outcome.text.trimmed().split(u'\n')) {
        out_.line(line);
    }
}

void TerminalFrontEnd::printPhone() {
    // A new secret each time, replacing the one shown before.
    const QStringList lines = PhonePairingText::terminalLines(
        controller_.openPhonePairing(), controller_.certificateFingerprint(),
        controller_.authorityFingerprint(),
        out_.colour() ? QrCode::Colours::own : QrCode::Colours::lightOnDark);
    for (const QString& line : lines) {
        out_.line(line);
    }
}

void TerminalFrontEnd::printLaunchAtLogin() {
    out_.line(QStringLiteral("Launch at login: ") +
              (controller_.launchAtLogin() ? QStringLiteral("on") : QStringLiteral("off")));
}

void TerminalFrontEnd::printHelp() {
    out_.line(QStringLiteral("Commands:"));
    out_.line(QStringLiteral("  pair N         pair request N, once its code matches the device"));
    out_.line(QStringLiteral("  reject N       turn request N away"));
    out_.line(QStringLiteral("  devices        list the trusted devices, numbered"));
    out_.line(QStringLiteral("  forget N       stop trusting device N of that list"));
    for (const QString& line : CeilingCommand::helpLines()) {
        out_.line(line);
    }
    out_.line(QStringLiteral("  restart        restart the Codex app-server"));
    out_.line(QStringLiteral("  phone          show a QR code that pairs a phone, once, within "
                             "5 minutes"));
    out_.line(QStringLiteral("  login on|off   start the bridge when you log in, or not"));
    if (approvalSettings_) {
        out_.line(QStringLiteral("  approval-wait SECONDS|off"));
        out_.line(QStringLiteral("                 how long Codex's questions wait for a paired "
                                 "device (0 declines at once)"));
        out_.line(QStringLiteral("  notify-command PATH|off"));
        out_.line(QStringLiteral("                 the program run when Codex waits and no paired "
                                 "device is connected"));
    }
    out_.line(QStringLiteral("  status         show the status and the waiting requests"));
    out_.line(QStringLiteral("  help           show this list"));
    out_.line(QStringLiteral("  quit           stop the bridge"));
}

// ---------------------------------------------------------------------------------------------
// What the user says

void TerminalFrontEnd::handleLine(const QString& rawLine) {
    // Ctrl-L clears the screen, as in a shell, and is no part of the command.
    if (rawLine.contains(u'\f')) {
        out_.clearScreen();
    }
    const QString line = typedText(rawLine);
    const QStringList words = line.simplified().split(u' ', Qt::SkipEmptyParts);
    if (words.isEmpty()) {
        return;
    }
    const QString command = words.first().toLower();
    const QString argument = words.size() > 1 ? words.mid(1).join(u' ') : QString();
    if (command == u"pair") {
        pair(argument, true);
    } else if (command == u"reject") {
        pair(argument, false);
    } else if (command == u"devices" && argument.isEmpty()) {
        printDevices();
    } else if (command == u"forget") {
        forget(argument);
    } else if (command == u"ceiling") {
        ceiling(words.mid(1));
    } else if (command == u"restart" && argument.isEmpty()) {
        controller_.restartAppServer();
    } else if (command == u"phone" && argument.isEmpty()) {
        printPhone();
    } else if (command == u"login") {
        login(argument);
    } else if (command == u"status" && argument.isEmpty()) {
        printStatus(true);
        printLaunchAtLogin();
        if (requests_.empty()) {
            out_.line(QStringLiteral("No pairing requests are waiting."));
        }
        for (const auto& request : requests_) {
            printRequest(request);
        }
    } else if (command == u"help" && argument.isEmpty()) {
        printHelp();
    } else if (auto answer = approvalSettings_ ? approvalSettings_->handleCommand(command, argument)
                                               : std::nullopt) {
        out_.line(answer->text.trimmed());
    } else if ((command == u"quit" || command == u"exit") && argument.isEmpty()) {
        out_.line(QStringLiteral("Stopping the bridge."));
        stopping_ = true;
        emit quitRequested();
    } else {
        out_.line(QStringLiteral("Unknown command %1. Type \"help\" for the list of commands.")
                      .arg(quoted(visibleText(line.simplified()))));
    }
}

std::optional<std::uint64_t> TerminalFrontEnd::serial(const QString& argument) const {
    bool ok = false;
    const std::uint64_t value = argument.toULongLong(&ok);
    if (!ok || value < 1) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> TerminalFrontEnd::number(const QString& argument) const {
    bool ok = false;
    const int value = argument.toInt(&ok);
    if (!ok || value < 1) {
        return std::nullopt;
    }
    return value;
}

void TerminalFrontEnd::pair(const QString& argument, bool accept) {
    const QString verb = accept ? QStringLiteral("pair") : QStringLiteral("reject");
    const auto wanted = serial(argument);
    if (!wanted) {
        out_.line(QStringLiteral("Say which request: \"%1 N\", with N the number of the request.")
                      .arg(verb));
        return;
    }
    auto found = std::find_if(requests_.begin(), requests_.end(), [&](const ShownRequest& request) {
        return request.serial == *wanted;
    });
    if (found == requests_.end()) {
        out_.line(QStringLiteral("No pairing request %1 is waiting. Type \"status\" to see the "
                                 "waiting requests.")
                      .arg(*wanted));
        return;
    }
    // The request list changes as the user reads it: the decision names the serial and the
    // code that were shown, and acts on that request or on none.
    const ShownRequest request = *found;
    deciding_ = request.serial;
    const bool decided = controller_.decide(
        request.serial, request.code, accept ? PairingDecision::accept : PairingDecision::reject);
    deciding_.reset();
    if (!decided) {
        out_.line(QStringLiteral("That request changed; type \"status\" to see the current ones."));
    }
}

void TerminalFrontEnd::forget(const QString& argument) {
    const auto wanted = number(argument);
    if (!wanted) {
        out_.line(QStringLiteral(
            "Say which device: \"forget N\", with N its number in the \"devices\" list."));
        return;
    }
    if (!listedDevices_) {
        out_.line(QStringLiteral("Type \"devices\" first to see the numbers of the devices."));
        return;
    }
    if (static_cast<std::size_t>(*wanted) > listedDevices_->size()) {
        out_.line(
            QStringLiteral("There is no device %1 in the last \"devices\" list.").arg(*wanted));
        return;
    }
    const ListedDevice device = (*listedDevices_)[static_cast<std::size_t>(*wanted) - 1];
    const auto& peers = controller_.trustedPeers();
    const bool trusted = std::any_of(peers.begin(), peers.end(), [&](const TrustedPeer& peer) {
        return peer.deviceID == device.deviceID;
    });
    if (!trusted) {
        out_.line(shown(device.displayName) + QStringLiteral(" is no longer trusted."));
        return;
    }
    controller_.forgetPeer(QString::fromStdString(device.deviceID));
}

void TerminalFrontEnd::login(const QString& argument) {
    const QString wanted = argument.toLower();
    if (wanted == u"on" || wanted == u"off") {
        controller_.setLaunchAtLogin(wanted == u"on");
    } else if (!wanted.isEmpty()) {
        out_.line(QStringLiteral("Type \"login on\" or \"login off\"."));
        return;
    }
    printLaunchAtLogin();
}

void TerminalFrontEnd::handleEndOfInput() {
    if (stopping_) {
        return;
    }
    out_.line(QStringLiteral("Input ended; the bridge keeps running. Stop it with Ctrl-C."));
}

void TerminalFrontEnd::handleSecondLaunch() {
    out_.line(QStringLiteral("Another launch of Tarnwick Bridge found this one running and left "
                             "it in charge."));
}

} // namespace tarnwick

#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace tarnwick {

class BridgeController;

// What the program lends the window module (tarnwick-bridge-window), which holds everything
// that needs Qt Quick and the graphics libraries: a bridge in the terminal or as a service never
// loads them. The module calls back only through this interface and the controller it hands out.
class WindowHost {
public:
    virtual ~WindowHost() = default;
    // With the application object made: makes this process the running bridge, or tells the
    // running one, and then gives the exit status this launch ends with.
    virtual std::optional<int> claim() = 0;
    // The one controller, made on first use.
    virtual BridgeController& controller() = 0;
    // Answers control commands and shows pairing notifications while the window runs;
    // `bringToFront` is called when someone asks for the window.
    virtual void attach(std::function<void()> bringToFront) = 0;
    virtual void printError(const QString& line) = 0;
    // The approval settings the window shows and changes (ApprovalSettings), once attached.
    virtual QObject* approvalSettings() { return nullptr; }
    // Ends the controller and what was attached, before the application object goes.
    virtual void finish() = 0;
};

// The module's one entry, exported under windowEntryName: runs the window until the application
// quits and gives the exit status.
using WindowEntry = int (*)(int argc, char** argv, WindowHost& host);
inline constexpr char windowEntryName[] = "tarnwickRunWindow";

} // namespace tarnwick

#pragma once

#include <memory>

namespace tarnwick {

class BridgeController;

// The one controller of this process, made with its real neighbours.
std::unique_ptr<BridgeController> makeApplicationController();

// The whole program: reads the command line, keeps to one bridge per user, makes the
// controller and runs it behind the window or the terminal front end until it is stopped.
// Gives the process's exit status.
int runBridgeApplication(int argc, char** argv);

} // namespace tarnwick

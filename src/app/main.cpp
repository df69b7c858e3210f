#include "app/BridgeApplication.h"
#include "platform/AllocatorSettings.h"

int main(int argc, char** argv) {
    tarnwick::AllocatorSettings::applyForRelay();
    return tarnwick::runBridgeApplication(argc, argv);
}

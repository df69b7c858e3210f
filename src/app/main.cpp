#include "app/BridgeApplication.h"

int main(int argc, char** argv) {
    return tarnwick::runBridgeApplication(argc, argv);
}

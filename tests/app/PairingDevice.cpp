// A test device that asks a bridge to pair and says how it went, for the launch test:
//   tarnwick-pairing-device HOST PORT NAME
// It prints "code NNNNNN" once it has asked (the code its own screen would show), then
// "accepted" or "rejected", and exits 0 only when accepted.
#include "device/BridgeDevice.h"
#include "support/TestSigner.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

using namespace tarnwick;

namespace {

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s HOST PORT NAME\n", argv[0]);
        return 2;
    }
    testing::TestSigner signer;
    BridgeDevice device(signer.identity(), argv[3]);
    QObject::connect(&device, &BridgeDevice::bridgeHelloReceived, &device, [&] {
        device.requestPairing();
        if (auto code = device.pairingCode()) {
            say("code " + *code);
        }
    });
    QObject::connect(&device, &BridgeDevice::pairingChanged, &device,
                     [&](BridgeDevice::Pairing pairing) {
                         if (pairing == BridgeDevice::Pairing::accepted) {
                             say("accepted");
                             QCoreApplication::exit(0);
                         } else if (pairing == BridgeDevice::Pairing::rejected) {
                             say("rejected");
                             QCoreApplication::exit(1);
                         }
                     });
    QObject::connect(&device, &BridgeDevice::stateChanged, &device, [&](PeerState state) {
        if (state == PeerState::notConnected) {
            say("disconnected");
            QCoreApplication::exit(1);
        }
    });
    QObject::connect(&device, &BridgeDevice::problemFound, &device,
                     [&](const std::string& problem) { say("problem: " + problem); });
    QTimer::singleShot(0, [&] {
        if (auto opened = device.connectTo(QString::fromLocal8Bit(argv[1]),
                                           static_cast<quint16>(std::atoi(argv[2])));
            !opened) {
            say("could not connect: " + opened.error().description);
            QCoreApplication::exit(1);
        }
    });
    return QCoreApplication::exec();
}

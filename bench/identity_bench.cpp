// What a connection costs the identity subsystem: making the computer's hello, checking a
// device's hello, deriving the pairing code, and writing the trusted-device list; and the
// bridge's whole share of one handshake in each version, side by side.
#include "identity/DeviceIdentity.h"
#include "identity/HandshakeV2.h"
#include "identity/HelloPayload.h"
#include "identity/TrustStore.h"
#include "support/MemoryKeychain.h"

#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

using tarnwick::testing::MemoryKeychain;

struct Identity {
    QTemporaryDir folder;
    QSettings settings{folder.filePath("bench.conf"), QSettings::IniFormat};
    MemoryKeychain keychain;
    std::unique_ptr<tarnwick::DeviceIdentity> identity =
        std::move(tarnwick::DeviceIdentity::create(keychain, settings).value());
};

void makeHello(benchmark::State& state) {
    Identity made;
    for (auto _ : state) {
        benchmark::DoNotOptimize(made.identity->makeHello("Studio"));
    }
}
BENCHMARK(makeHello);

void verifyHello(benchmark::State& state) {
    Identity made;
    tarnwick::HelloPayload hello = made.identity->makeHello("Studio").value();
    for (auto _ : state) {
        benchmark::DoNotOptimize(hello.verify());
    }
}
BENCHMARK(verifyHello);

void pairingCode(benchmark::State& state) {
    Identity made;
    tarnwick::HelloPayload mine = made.identity->makeHello("Studio").value();
    tarnwick::HelloPayload theirs = made.identity->makeHello("Phone").value();
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarnwick::pairingCode(mine, theirs));
    }
}
BENCHMARK(pairingCode);

// The bridge's work for one version-1 connection: make and sign its hello, decode and verify
// the device's.
void bridgeHandshakeV1(benchmark::State& state) {
    Identity bridge;
    Identity device;
    const tarnwick::JSONValue body = device.identity->makeHello("Phone").value().toJSON();
    for (auto _ : state) {
        auto mine = bridge.identity->makeHello("Studio");
        auto theirs = tarnwick::HelloPayload::fromJSON(body);
        benchmark::DoNotOptimize(mine);
        benchmark::DoNotOptimize(theirs->verify());
    }
}
BENCHMARK(bridgeHandshakeV1);

// The bridge's work for one version-2 connection: make its offer, decode the device's, sign
// the bridge proof, verify the device proof. The device's proof is made outside the timing.
void bridgeHandshakeV2(benchmark::State& state) {
    Identity bridge;
    Identity device;
    const std::string fp(64, 'f');
    for (auto _ : state) {
        state.PauseTiming();
        tarnwick::HelloOffer deviceOffer = device.identity->makeOffer("Phone", fp);
        const tarnwick::JSONValue body = deviceOffer.toJSON();
        tarnwick::HelloOffer preview = bridge.identity->makeOffer("Studio", fp);
        state.ResumeTiming();

        tarnwick::HelloOffer mine = bridge.identity->makeOffer("Studio", fp);
        state.PauseTiming();
        // The device signs over the offer it received; the preview stands in for it.
        mine.nonce = preview.nonce;
        const std::string deviceProof =
            device.identity->sign(tarnwick::deviceProofText(deviceOffer, mine, fp)).value();
        state.ResumeTiming();

        auto theirs = tarnwick::HelloOffer::fromJSON(body);
        benchmark::DoNotOptimize(tarnwick::isNonceV2(theirs->nonce));
        benchmark::DoNotOptimize(
            bridge.identity->sign(tarnwick::bridgeProofText(mine, *theirs, fp)));
        benchmark::DoNotOptimize(tarnwick::verifySignature(
            theirs->publicKey, tarnwick::deviceProofText(*theirs, mine, fp), deviceProof));
    }
}
BENCHMARK(bridgeHandshakeV2);

// The bridge's part of a version-2 pairing: its pairing nonce, the commitment check and the
// code, against version 1's code alone (pairingCode above).
void pairingV2(benchmark::State& state) {
    const std::string key = tarnwick::randomNonceV2() + tarnwick::randomNonceV2();
    const std::string rD = tarnwick::randomNonceV2();
    const std::string commitment = tarnwick::pairingCommitment(key, rD);
    for (auto _ : state) {
        const std::string rB = tarnwick::randomNonceV2();
        benchmark::DoNotOptimize(tarnwick::pairingCommitment(key, rD) == commitment);
        benchmark::DoNotOptimize(tarnwick::pairingCodeV2(key, key, rB, rD, rB, rD, key));
    }
}
BENCHMARK(pairingV2);

// Pairing one more device rewrites the whole list.
void trustWithPairedDevices(benchmark::State& state) {
    MemoryKeychain keychain;
    tarnwick::TrustStore store(keychain, [] { return 797000000.123; });
    std::string key(88, 'K');
    for (int64_t i = 0; i < state.range(0); ++i) {
        (void)store.trust(
            {"device-" + std::to_string(i), "Phone " + std::to_string(i), key, "n", "s"});
    }
    tarnwick::HelloPayload hello{"device-new", "New phone", key, "n", "s"};
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.trust(hello));
    }
}
BENCHMARK(trustWithPairedDevices)->Arg(1)->Arg(10)->Arg(100);

// Loading the list at launch.
void loadPairedDevices(benchmark::State& state) {
    MemoryKeychain keychain;
    {
        tarnwick::TrustStore store(keychain, [] { return 797000000.123; });
        std::string key(88, 'K');
        for (int64_t i = 0; i < state.range(0); ++i) {
            (void)store.trust({"device-" + std::to_string(i), "Phone", key, "n", "s"});
        }
    }
    for (auto _ : state) {
        tarnwick::TrustStore store(keychain);
        benchmark::DoNotOptimize(store.peers().size());
    }
}
BENCHMARK(loadPairedDevices)->Arg(10)->Arg(100);

} // namespace

BENCHMARK_MAIN();

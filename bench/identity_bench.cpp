// What a connection costs the identity subsystem: making the computer's hello, checking a
// device's hello, deriving the pairing code, and writing the trusted-device list.
#include "identity/DeviceIdentity.h"
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

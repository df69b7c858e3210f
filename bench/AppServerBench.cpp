// appserver_bench: how fast notifications flow from the app-server's standard output to
// the notification handler on the main thread, against how fast the same lines decode in a tight
// loop.
//
// Usage: appserver_bench [COUNT [SIZE]]   (defaults: 1000000 notifications of 300 bytes)
// The fake app-server floods COUNT notification lines of SIZE bytes once the handshake is done.

#include "FloodLine.h"
#include "appserver/AppServerClient.h"
#include "json/JSONDecoder.h"
#include "json/JSONText.h"

#include <QCoreApplication>

#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using namespace tarnwick;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto toSeconds = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

struct DecodeRun {
    double rate = 0;
    // Processor time per line.
    double cpuPerLine = 0;
};

// Decodes the flood's lines in batches, timing only the decoding: into whole trees, or as the
// client decodes them, with "params" and "result" checked and kept as text.
DecodeRun decodeRate(std::uint64_t count, std::size_t size, bool keepText) {
    static constexpr std::string_view rawNames[] = {"params", "result"};
    std::optional<JSONText> raw[2];
    constexpr std::uint64_t batch = 10000;
    JSONDecoder decoder;
    std::vector<std::string> lines;
    Clock::duration spent{};
    double cpu = 0;
    std::uint64_t failures = 0;
    for (std::uint64_t first = 0; first < count; first += batch) {
        lines.clear();
        for (std::uint64_t i = first; i < count && i < first + batch; ++i) {
            std::string line = floodLine(i, size);
            line.pop_back();
            lines.push_back(std::move(line));
        }
        auto start = Clock::now();
        double cpuStart = cpuSeconds(RUSAGE_THREAD);
        for (const std::string& line : lines) {
            failures += keepText ? !decoder.decode(line, rawNames, raw).hasValue()
                                 : !decoder.decode(line).hasValue();
        }
        cpu += cpuSeconds(RUSAGE_THREAD) - cpuStart;
        spent += Clock::now() - start;
    }
    if (failures) {
        std::fprintf(stderr, "%llu lines did not decode\n",
                     static_cast<unsigned long long>(failures));
    }
    return {static_cast<double>(count) / seconds(spent), cpu / static_cast<double>(count)};
}

struct ClientRun {
    double rate = 0;
    double total = 0;
    // Processor time of the main thread, and of the whole process, during the run.
    double mainThreadCPU = 0;
    double processCPU = 0;
};

ClientRun clientRate(std::uint64_t count, std::size_t size) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "appserver-bench.XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    std::filesystem::path folder = pattern;
    std::filesystem::path codex = folder / "codex";
    std::filesystem::create_symlink(FAKE_APP_SERVER_PATH, codex);
    std::ofstream(codex.string() + ".script")
        << "wait initialized\nflood " << count << " " << size << "\n";
    setenv("HOME", folder.c_str(), 1);

    ClientRun run;
    std::uint64_t received = 0;
    Clock::time_point started, first, last;
    auto client = AppServerClient::create();
    AppServerClient::Handlers handlers;
    handlers.notification = [&](const std::string&, const JSONText&) {
        ++received;
        if (received == 1) {
            first = Clock::now();
        }
        if (received == count) {
            last = Clock::now();
            QCoreApplication::quit();
        }
    };
    handlers.status = [](const std::string& text, bool ready) {
        if (!ready && text != "Starting Codex app-server\u2026") {
            std::fprintf(stderr, "%s\n", text.c_str());
            std::exit(1);
        }
    };
    handlers.log = [](const std::string& text) { std::fprintf(stderr, "log: %s\n", text.c_str()); };
    client->setHandlers(std::move(handlers));
    double mainBefore = cpuSeconds(RUSAGE_THREAD);
    double processBefore = cpuSeconds(RUSAGE_SELF);
    started = Clock::now();
    client->start(codex.string());
    QCoreApplication::exec();
    run.mainThreadCPU = cpuSeconds(RUSAGE_THREAD) - mainBefore;
    run.processCPU = cpuSeconds(RUSAGE_SELF) - processBefore;
    client->shutdown();
    client.reset();
    std::filesystem::remove_all(folder);

    run.rate = static_cast<double>(count - 1) / seconds(last - first);
    run.total = seconds(last - started);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::uint64_t count = argc > 1 ? std::stoull(argv[1]) : 1000000;
    std::size_t size = argc > 2 ? std::stoul(argv[2]) : 300;
    int rounds = argc > 3 ? std::stoi(argv[3]) : 3;
    if (count < 2) {
        count = 2;
    }

    // Each round measures decoding alone and then the client, close together in time, so that
    // the ratio of a round holds up when other work shares the machine.
    std::printf("notifications: %llu of %zu bytes, %d rounds\n",
                static_cast<unsigned long long>(count), size, rounds);
    std::vector<double> ratios, ratiosToText;
    for (int round = 1; round <= rounds; ++round) {
        DecodeRun decode = decodeRate(count, size, false);
        DecodeRun decodeText = decodeRate(count, size, true);
        ClientRun run = clientRate(count, size);
        double ratio = run.rate / decode.rate;
        ratios.push_back(ratio);
        ratiosToText.push_back(run.rate / decodeText.rate);
        std::printf(
            "round %d: decode only %7.0f lines/s (params kept as text %7.0f) | client %7.0f "
            "notifications/s | %5.1f %% (%5.1f %%)\n"
            "         processor time per line: decoding alone %.2f us (%.2f us); client %.2f us "
            "(main thread %.2f us)\n",
            round, decode.rate, decodeText.rate, run.rate, 100.0 * ratio,
            100.0 * ratiosToText.back(), 1e6 * decode.cpuPerLine, 1e6 * decodeText.cpuPerLine,
            1e6 * run.processCPU / static_cast<double>(count),
            1e6 * run.mainThreadCPU / static_cast<double>(count));
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(ratiosToText.begin(), ratiosToText.end());
    std::printf("client / decode only, params kept as text: median %.1f %%\n",
                100.0 * ratiosToText[ratiosToText.size() / 2]);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("client / decode only: median %.1f %%, best %.1f %%\n",
                100.0 * ratios[ratios.size() / 2], 100.0 * ratios.back());
    std::printf("peak resident memory: %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}

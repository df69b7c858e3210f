// What the device ceiling costs a request: the check of a thread/start and of a turn/start as
// the page sends them (the folders resolved on the real file system), and learning a thread's
// settings from a thread/start result. Usage: build/bench/bench/ceiling_bench
#include "bridge/CeilingCheck.h"
#include "bridge/LoadedThreads.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

using namespace tarnwick;

namespace {

std::string home() {
    return std::filesystem::temp_directory_path().string();
}

void threadStart(benchmark::State& state) {
    const CeilingCheck check(canonicalFolderOnDisk, home(), home());
    const std::string folder = std::filesystem::current_path().string();
    const DeviceCeiling here = DeviceCeiling::standard(folder);
    const JSONValue params(
        JSONObject{{"cwd", folder}, {"approvalPolicy", "on-request"}, {"model", "gpt-5"}});
    for (auto _ : state) {
        auto held = check.check("thread/start", params, here);
        benchmark::DoNotOptimize(held);
    }
}
BENCHMARK(threadStart);

void turnStart(benchmark::State& state) {
    const CeilingCheck check(canonicalFolderOnDisk, home(), home());
    const DeviceCeiling ceiling = DeviceCeiling::standard(home());
    const JSONValue params(JSONObject{
        {"threadId", "01a25082-3ae0-7da2-a0cd-72ce0b725dab"},
        {"input", JSONArray{JSONObject{{"type", "text"}, {"text", std::string(2000, 'x')}}}}});
    for (auto _ : state) {
        auto held = check.check("turn/start", params, ceiling);
        benchmark::DoNotOptimize(held);
    }
}
BENCHMARK(turnStart);

void learnThread(benchmark::State& state) {
    const JSONValue result(
        JSONObject{{"thread", JSONObject{{"id", "01a25082-3ae0-7da2-a0cd-72ce0b725dab"}}},
                   {"cwd", "/home/alice/src/app"},
                   {"sandbox", JSONObject{{"type", "workspaceWrite"}, {"networkAccess", false}}},
                   {"approvalPolicy", "on-request"}});
    LoadedThreads threads;
    for (auto _ : state) {
        threads.learnFromResult(result);
        benchmark::DoNotOptimize(threads.find("01a25082-3ae0-7da2-a0cd-72ce0b725dab"));
    }
}
BENCHMARK(learnThread);

} // namespace

BENCHMARK_MAIN();

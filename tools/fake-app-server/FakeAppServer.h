#pragma once

#include "FakeScript.h"
#include "json/JSONValue.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Plays `codex app-server` on its standard input and output as its script says: a reader
// thread answers requests, the main thread runs the steps.
class FakeAppServer {
public:
    explicit FakeAppServer(FakeScript script);

    // Runs the steps, then serves until the input ends. Returns the exit code.
    int run();

private:
    void readInput();
    void handleLine(std::string_view line);
    void answer(const JSONValue& id, const std::string& method, const JSONValue& params);
    std::string answerLine(const JSONValue& id, const std::string& method, const JSONValue& params);
    void writeOutput(std::string_view bytes);
    void writeFlood(std::uint64_t count, std::size_t size);
    void runStep(const FakeStep& step);
    void announce();

    FakeScript script_;
    std::mutex outputMutex_;

    std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    std::map<std::string, int> seenMethods_;
    bool stopReading_ = false;
    std::vector<std::string> heldAnswers_;
    int reverseRemaining_ = 0;
};

} // namespace tarnwick

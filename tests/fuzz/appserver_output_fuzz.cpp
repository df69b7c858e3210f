// Any bytes the app-server may write, cut into chunks anywhere: nothing crashes, each request
// is completed at most once, and the cuts make no difference to what the bridge sees.
#include "appserver/RpcEndpoint.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Events = std::vector<std::string>;

Events run(std::string_view bytes, const std::vector<std::size_t>& cuts) {
    Events events;
    tarnwick::RpcEndpoint::Handlers handlers;
    handlers.notification = [&](std::string method, tarnwick::JSONText params) {
        events.push_back("n " + method + " " + params.value().displayText());
    };
    handlers.serverRequest = [&](tarnwick::JSONValue id, std::string method,
                                 tarnwick::JSONText params) {
        events.push_back("s " + id.displayText() + " " + method + " " +
                         params.value().displayText());
    };
    handlers.completion = [&](tarnwick::RequestCompletion completion, auto outcome) {
        completion(std::move(outcome));
    };
    handlers.log = [&](std::string text) { events.push_back("l " + text); };
    // A small limit, so that the fuzzer reaches the overlong-line path too.
    tarnwick::RpcEndpoint endpoint(std::move(handlers), 64);
    std::vector<int> calls(8, 0);
    for (int i = 0; i < 8; ++i) {
        endpoint.sendRequest("m", tarnwick::JSONValue(), [&, i](auto outcome) {
            if (++calls[i] > 1) {
                std::abort();
            }
            events.push_back(
                "c " + std::to_string(i) + " " +
                (outcome ? outcome->value().displayText() : outcome.error().description()));
        });
    }
    std::size_t start = 0;
    for (std::size_t cut : cuts) {
        endpoint.consumeOutput(bytes.substr(start, cut - start));
        start = cut;
    }
    endpoint.consumeOutput(bytes.substr(start));
    return events;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks where the rest is cut.
    const unsigned seed = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::size_t> cuts;
    for (std::size_t at = seed % 7 + 1; at < bytes.size(); at += (at * 31 + seed) % 13 + 1) {
        cuts.push_back(at);
    }
    if (run(bytes, {}) != run(bytes, cuts)) {
        std::abort();
    }
    return 0;
}

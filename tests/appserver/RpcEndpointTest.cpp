#include "appserver/RpcEndpoint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace tarnwick;

namespace {

JSONValue json(std::string_view text) {
    auto value = JSONValue::decode(text);
    EXPECT_TRUE(value.hasValue()) << text;
    return value ? *value : JSONValue();
}

// An endpoint with every handler recording into one list of events, in the order they came,
// and a writer that keeps the lines.
class Harness {
public:
    explicit Harness(std::size_t maxLineBytes = RpcEndpoint::defaultMaxLineBytes)
        : endpoint(handlers(), maxLineBytes) {
        endpoint.setWriter([this](std::string_view line) -> Expected<void, WriteError> {
            if (failWrites) {
                return Unexpected(WriteError{"Broken pipe", false});
            }
            written.emplace_back(line);
            return {};
        });
    }

    // Sends a request whose outcome lands in `events` as "completion <tag>: ...".
    void request(const std::string& tag, std::string method = "thread/list",
                 JSONValue params = JSONObject{}) {
        endpoint.sendRequest(std::move(method), std::move(params),
                             [this, tag](Expected<JSONText, AppServerError> outcome) {
                                 events.push_back("completion " + tag + ": " + describe(outcome));
                             });
    }

    void requests(const std::vector<std::string>& tags) {
        for (const std::string& tag : tags) {
            request(tag);
        }
    }

    void feed(std::string_view bytes) { endpoint.consumeOutput(bytes); }

    static std::string describe(const Expected<JSONText, AppServerError>& outcome) {
        return outcome ? "result " + outcome->value().displayText()
                       : "error " + outcome.error().description();
    }

    std::vector<std::string> events;
    std::vector<std::string> written;
    std::vector<JSONValue> serverRequestIDs;
    bool failWrites = false;
    RpcEndpoint endpoint;

private:
    RpcEndpoint::Handlers handlers() {
        RpcEndpoint::Handlers h;
        h.notification = [this](std::string method, JSONText params) {
            events.push_back("notification " + method + " " + params.value().displayText());
        };
        h.serverRequest = [this](JSONValue id, std::string method, JSONText params) {
            serverRequestIDs.push_back(id);
            events.push_back("server request " + id.displayText() + " " + method + " " +
                             params.value().displayText());
        };
        h.completion = [](RequestCompletion completion,
                          Expected<JSONText, AppServerError> outcome) {
            completion(std::move(outcome));
        };
        h.log = [this](std::string text) { events.push_back("log " + text); };
        return h;
    }
};

using Events = std::vector<std::string>;

} // namespace

TEST(RpcEndpoint, WritesRequestsWithIdsCountingUpFromOne) {
    Harness h;
    h.request("a", "thread/list", json(R"({"limit":2})"));
    h.request("b", "model/list", json("[1,\"x\"]"));
    h.request("c", "account/read", JSONValue());
    ASSERT_EQ(h.written.size(), 3u);
    EXPECT_EQ(json(h.written[0]), json(R"({"id":1,"method":"thread/list","params":{"limit":2}})"));
    EXPECT_EQ(json(h.written[1]), json(R"({"id":2,"method":"model/list","params":[1,"x"]})"));
    EXPECT_EQ(json(h.written[2]), json(R"({"id":3,"method":"account/read","params":null})"));
    for (const std::string& line : h.written) {
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line per message";
        EXPECT_EQ(line.find("jsonrpc"), std::string::npos);
    }
    EXPECT_EQ(h.endpoint.pendingCount(), 3u);
}

TEST(RpcEndpoint, WritesNotificationsAndRepliesToServerRequests) {
    Harness h;
    h.endpoint.sendNotification("initialized", JSONObject{});
    h.endpoint.sendResult(JSONValue("abc"), json(R"({"decision":"decline"})"));
    h.endpoint.sendResult(JSONValue(12), JSONValue());
    h.endpoint.sendError(json(R"({"n":[1]})"), "Tarnwick Bridge does not implement x/y.");
    ASSERT_EQ(h.written.size(), 4u);
    EXPECT_EQ(h.written[0], "{\"method\":\"initialized\",\"params\":{}}\n");
    EXPECT_EQ(json(h.written[1]), json(R"({"id":"abc","result":{"decision":"decline"}})"));
    EXPECT_EQ(json(h.written[2]), json(R"({"id":12,"result":null})"));
    EXPECT_EQ(
        json(h.written[3]),
        json(
            R"({"id":{"n":[1]},"error":{"code":-32601,"message":"Tarnwick Bridge does not implement x/y."}})"));
}

TEST(RpcEndpoint, DropsMessagesThatCannotBeEncodedOrHaveNoChild) {
    Harness h;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    h.endpoint.sendResult(JSONValue(1), JSONValue(nan));
    h.request("a", "thread/list", JSONValue(JSONObject{{"x", JSONValue(INFINITY)}}));
    EXPECT_TRUE(h.written.empty());
    EXPECT_TRUE(h.events.empty());

    h.endpoint.setWriter(nullptr);
    h.request("b");
    EXPECT_TRUE(h.written.empty());
    EXPECT_TRUE(h.events.empty());
    // Both requests still wait for an answer (or for the stop that fails them).
    EXPECT_EQ(h.endpoint.pendingCount(), 2u);
}

TEST(RpcEndpoint, LogsAFailedWriteAndKeepsTheRequestWaiting) {
    Harness h;
    h.failWrites = true;
    h.request("a");
    EXPECT_EQ(h.events, Events{"log Write failed: Broken pipe"});
    EXPECT_EQ(h.endpoint.pendingCount(), 1u);
    h.feed("{\"id\":1,\"result\":true}\n");
    EXPECT_EQ(h.events.back(), "completion a: result true");
}

TEST(RpcEndpoint, ClassifiesEachLineTheAppServerWrites) {
    struct Case {
        const char* line;
        Events events;
    };
    // Requests 1 to 9 wait for their answers in each case.
    const Case cases[] = {
        {R"({"method":"m","params":{"a":1}})", {R"(notification m {"a":1})"}},
        {R"({"method":"m"})", {"notification m {}"}},
        {R"({"method":"m","params":null})", {"notification m null"}},
        {R"({"method":"m","params":[1,2]})", {"notification m [1,2]"}},
        {R"({"id":"abc","method":"item/commandExecution/requestApproval","params":{}})",
         {"server request abc item/commandExecution/requestApproval {}"}},
        {R"({"id":null,"method":"ask"})", {"server request null ask {}"}},
        {R"({"id":4,"method":"ask","result":{}})", {"server request 4 ask {}"}},
        {R"({"method":5,"id":2,"result":{}})", {"completion 2: result {}"}},
        {R"({"id":7,"result":{}})", {"completion 7: result {}"}},
        {R"({"id":7.9,"result":1})", {"completion 7: result 1"}},
        {R"({"id":3,"result":null})", {"completion 3: result null"}},
        {R"({"id":3,"result":[1]})", {"completion 3: result [1]"}},
        {R"({"id":3,"error":{"code":5,"message":"bad"}})", {"completion 3: error bad"}},
        {R"({"id":3,"error":{"code":1}})", {R"(completion 3: error {"code":1})"}},
        {R"({"id":3,"error":{"code":1,"message":7}})",
         {R"(completion 3: error {"code":1,"message":7})"}},
        {R"({"id":3,"error":{}})", {"completion 3: error {}"}},
        {R"({"id":3,"error":"oops"})", {"completion 3: error oops"}},
        {R"({"id":3,"error":null,"result":{}})", {"completion 3: error null"}},
        {R"({"id":3})", {"completion 3: error Codex returned an invalid response."}},
        {R"({"id":3,"method":null})", {"completion 3: error Codex returned an invalid response."}},
        {R"(  {"id":1,"result":"spaces"}  )", {"completion 1: result spaces"}},
        {R"({"id":1,"result":"cr"})"
         "\r",
         {"completion 1: result cr"}},
        // Not JSON.
        {"hello", {"log Protocol error: hello"}},
        {"{\"id\":1,", {"log Protocol error: {\"id\":1,"}},
        {"\xff\xfe{}", {"log Protocol error: Unreadable response"}},
        {"{\"method\":\"\xc3\x28\"}", {"log Protocol error: Unreadable response"}},
    };
    for (const Case& c : cases) {
        Harness h;
        h.requests({"1", "2", "3", "4", "5", "6", "7", "8", "9"});
        h.feed(std::string(c.line) + "\n");
        EXPECT_EQ(h.events, c.events) << c.line;
    }
    // Ignored: no id, an id that is not a number, never issued or out of range; not an object,
    // or an empty one.
    for (const char* line :
         {R"({"result":{}})", R"({"id":"3","result":{}})", R"({"id":true,"result":{}})",
          R"({"id":0,"result":{}})", R"({"id":10,"result":{}})", R"({"id":-1,"result":{}})",
          R"({"id":1e300,"result":{}})", R"({"id":-1e300,"result":{}})",
          R"({"id":9223372036854775808,"result":{}})", R"({"id":1e-300,"result":{}})", "{}", "[]",
          R"([{"id":1,"result":1}])", "42", R"("text")", "null"}) {
        Harness h;
        h.requests({"1", "2", "3", "4", "5", "6", "7", "8", "9"});
        h.feed(std::string(line) + "\n");
        EXPECT_TRUE(h.events.empty()) << line;
    }
}

TEST(RpcEndpoint, AnswersEachRequestOnceInTheOrderTheAnswersCome) {
    Harness h;
    h.requests({"a", "b", "c"});
    h.feed("{\"id\":3,\"result\":\"c\"}\n{\"id\":1,\"result\":\"a\"}\n");
    h.feed("{\"id\":1,\"result\":\"again\"}\n{\"id\":2,\"error\":{\"message\":\"b failed\"}}\n");
    h.feed("{\"id\":2,\"result\":\"again\"}\n");
    EXPECT_EQ(h.events, (Events{"completion c: result c", "completion a: result a",
                                "completion b: error b failed"}));
    EXPECT_EQ(h.endpoint.pendingCount(), 0u);
}

TEST(RpcEndpoint, QuotesOnlyTheStartOfAVeryLongUnreadableLine) {
    Harness h;
    std::string garbage(RpcEndpoint::maxQuotedBytes + 100, 'g');
    garbage[RpcEndpoint::maxQuotedBytes - 1] = '\xc3';
    garbage[RpcEndpoint::maxQuotedBytes] = '\xa9';
    h.feed(garbage + "\n");
    ASSERT_EQ(h.events.size(), 1u);
    std::string expected =
        "log Protocol error: " + std::string(RpcEndpoint::maxQuotedBytes - 1, 'g') + "\u2026";
    EXPECT_EQ(h.events[0], expected);
}

TEST(RpcEndpoint, TakePendingHandsOverEveryWaitingCompletionInIdOrder) {
    Harness h;
    h.requests({"a", "b", "c"});
    h.feed("{\"id\":2,\"result\":0}\n");
    auto completions = h.endpoint.takePending();
    ASSERT_EQ(completions.size(), 2u);
    for (auto& completion : completions) {
        completion(Unexpected(AppServerError::notReady()));
    }
    EXPECT_EQ(h.events, (Events{"completion b: result 0",
                                "completion a: error Codex app-server is still starting.",
                                "completion c: error Codex app-server is still starting."}));
    // Ids go on counting, and late answers for the taken requests are ignored.
    h.feed("{\"id\":1,\"result\":0}\n");
    h.request("d");
    EXPECT_EQ(json(h.written.back()).member("id")->numberValue(), 4.0);
    EXPECT_EQ(h.events.size(), 3u);
}

TEST(AppServerError, DescribesEachCaseWithItsFixedText) {
    EXPECT_EQ(AppServerError::server("bad").description(), "bad");
    EXPECT_EQ(AppServerError::terminated(1).description(), "Codex app-server exited with code 1.");
    EXPECT_EQ(AppServerError::codexNotFound().description(),
              "Codex CLI was not found in /usr/local/bin, the bridge PATH, the npm prefix of "
              "~/.npmrc, ~/.npm-global/bin, ~/.nvm/versions/node/*/bin, ~/.volta/bin, "
              "~/.local/bin or /usr/bin.");
    EXPECT_EQ(AppServerError::notReady().description(), "Codex app-server is still starting.");
    EXPECT_EQ(AppServerError::invalidResponse().description(),
              "Codex returned an invalid response.");
}

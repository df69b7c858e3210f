// The model stand-in's own parts: reading HTTP requests however they are cut, choosing what
// the model answers, and refusing to act as a way out of the machine.
#include "HttpRequestReader.h"
#include "ModelScript.h"
#include "StandInServer.h"
#include "support/QtTestSupport.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

std::vector<HttpRequest> readAll(HttpRequestReader& reader) {
    std::vector<HttpRequest> requests;
    while (auto request = reader.next()) {
        requests.push_back(std::move(*request));
    }
    return requests;
}

// The JSON of each event in a Server-Sent Events stream.
std::vector<JSONValue> eventsOf(const std::string& stream) {
    std::vector<JSONValue> events;
    for (std::size_t start = 0; (start = stream.find("data: ", start)) != std::string::npos;) {
        const std::size_t end = stream.find('\n', start);
        events.push_back(*JSONValue::decode(stream.substr(start + 6, end - start - 6)));
        start = end;
    }
    return events;
}

std::string typeOf(const JSONValue& event) {
    return *event.member("type")->stringValue();
}

// A request as Codex sends it, cut down to what the stand-in reads.
JSONValue responsesRequest(const char* tools, const char* lastInput) {
    return *JSONValue::decode(std::string(R"({"model":"stand-in","stream":true,"tools":)") + tools +
                              R"(,"input":[{"type":"message","role":"user","content":[]},)" +
                              lastInput + "]}");
}

constexpr const char* execTool =
    R"([{"type":"function","name":"exec_command","parameters":{"type":"object","properties":{
        "cmd":{"type":"string"},"justification":{"type":"string"},
        "sandbox_permissions":{"type":"string"}}}}])";
constexpr const char* userMessage = R"({"type":"message","role":"user","content":[]})";

} // namespace

TEST(HttpRequestReader, ReadsRequestsCutAnywhereAndOneAfterAnother) {
    const std::string twoRequests =
        "POST http://127.0.0.1:9/v1/responses HTTP/1.1\r\nHost: 127.0.0.1:9\r\n"
        "Content-Type: application/json\r\ncontent-length: 7\r\n\r\n{\"a\":1}"
        "POST /v1/responses HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3\r\n{\"b\r\n4;x=y\r\n\":2}\r\n0\r\n\r\n";
    for (std::size_t piece : {std::size_t(1), std::size_t(5), twoRequests.size()}) {
        HttpRequestReader reader;
        std::vector<HttpRequest> requests;
        for (std::size_t at = 0; at < twoRequests.size(); at += piece) {
            reader.append(std::string_view(twoRequests).substr(at, piece));
            for (HttpRequest& request : readAll(reader)) {
                requests.push_back(std::move(request));
            }
        }
        ASSERT_EQ(requests.size(), 2u) << piece;
        EXPECT_TRUE(reader.error().empty());
        EXPECT_EQ(requests[0].method, "POST");
        EXPECT_EQ(requests[0].target, "http://127.0.0.1:9/v1/responses");
        EXPECT_EQ(*requests[0].header("content-type"), "application/json");
        EXPECT_EQ(requests[0].body, "{\"a\":1}");
        EXPECT_EQ(requests[1].body, "{\"b\":2}");
    }
    // A request without a body, as a proxy CONNECT comes.
    HttpRequestReader reader;
    reader.append("CONNECT ab.example:443 HTTP/1.1\r\nHost: ab.example:443\r\n\r\n");
    auto requests = readAll(reader);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "ab.example:443");
    EXPECT_EQ(requests[0].body, "");
}

TEST(HttpRequestReader, GivesUpOnWhatItCannotReadForSure) {
    const std::string wrong[] = {
        "GET / HTTP/2\r\n\r\n",
        "GET\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n",
        "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n",
        "GET / HTTP/1.1\r\n: no name\r\n\r\n",
        "GET / HTTP/1.1\r\nX: " + std::string(HttpRequestReader::maximumHeaderBytes, 'x'),
    };
    for (const std::string& bytes : wrong) {
        HttpRequestReader reader;
        reader.append(bytes);
        EXPECT_FALSE(reader.next().has_value()) << bytes.substr(0, 60);
        EXPECT_FALSE(reader.error().empty()) << bytes.substr(0, 60);
        reader.append("GET / HTTP/1.1\r\n\r\n");
        EXPECT_FALSE(reader.next().has_value()) << "nothing is read after an error";
    }
}

TEST(ModelScript, AsksForTheCommandWithTheShellToolOffered) {
    ModelScript script({"touch a", "To mark the run.", "Done."});
    auto events = eventsOf(script.answer(responsesRequest(execTool, userMessage)));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(typeOf(events[0]), "response.output_item.done");
    EXPECT_EQ(typeOf(events[1]), "response.completed");
    const JSONValue& call = *events[0].member("item");
    EXPECT_EQ(*call.member("name"), JSONValue("exec_command"));
    EXPECT_EQ(*JSONValue::decode(*call.member("arguments")->stringValue()),
              JSONValue(JSONObject{{"cmd", "touch a"},
                                   {"justification", "To mark the run."},
                                   {"sandbox_permissions", "require_escalated"}}));

    // Older tool shapes, and no shell tool at all.
    auto shell = script.commandCall(*JSONValue::decode(R"([{"name":"shell"}])"), "c1");
    ASSERT_TRUE(shell);
    EXPECT_EQ(*JSONValue::decode(*shell->member("arguments")->stringValue())->member("command"),
              JSONValue(JSONArray{"bash", "-lc", "touch a"}));
    EXPECT_FALSE(script.commandCall(*JSONValue::decode(R"([{"name":"web_search"}])"), "c2"));
    auto none = eventsOf(script.answer(responsesRequest("[]", userMessage)));
    ASSERT_EQ(none.size(), 4u);
    EXPECT_NE(none[1].member("delta")->stringValue()->find("No shell tool"), std::string::npos);
}

TEST(ModelScript, AnswersOnceTheCommandsOutcomeIsBack) {
    ModelScript script({"touch a", std::nullopt, "All done."});
    auto events = eventsOf(script.answer(responsesRequest(
        execTool, R"({"type":"function_call_output","call_id":"call_1","output":"ok"})")));
    std::vector<std::string> types;
    for (const JSONValue& event : events) {
        types.push_back(typeOf(event));
    }
    EXPECT_EQ(types,
              (std::vector<std::string>{"response.output_item.added", "response.output_text.delta",
                                        "response.output_item.done", "response.completed"}));
    EXPECT_EQ(*events[1].member("delta"), JSONValue("All done."));
    EXPECT_EQ(*events[1].member("item_id"), *events[2].member("item")->member("id"));

    // Without a command the model only talks.
    ModelScript talker({std::nullopt, std::nullopt, "Hello."});
    auto said = eventsOf(talker.answer(responsesRequest(execTool, userMessage)));
    ASSERT_EQ(said.size(), 4u);
    EXPECT_EQ(*said[1].member("delta"), JSONValue("Hello."));
}

TEST(StandInServer, RefusesToConnectAnywhereAndAnswersOnlyResponses) {
    StandInServer server{ModelScript({"true", std::nullopt, "Done."})};
    std::vector<std::string> logged;
    server.onRequest = [&](const std::string& line) { logged.push_back(line); };
    ASSERT_EQ(server.listen(0), "");

    auto exchange = [&](const std::string& request) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        socket.write(request.data(), qint64(request.size()));
        std::string reply;
        waitUntil([&] {
            reply += socket.readAll().toStdString();
            return reply.find("\r\n\r\n") != std::string::npos;
        });
        return reply.substr(0, reply.find("\r\n"));
    };
    EXPECT_EQ(exchange("CONNECT ab.example:443 HTTP/1.1\r\nHost: ab.example:443\r\n\r\n"),
              "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(exchange("GET /v1/models HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(exchange("POST /v1/responses HTTP/1.1\r\nContent-Length: 3\r\n\r\n{x}"),
              "HTTP/1.1 400 Bad Request");
    const std::string body = R"({"input":[],"tools":[]})";
    EXPECT_EQ(exchange("POST /v1/responses HTTP/1.1\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body),
              "HTTP/1.1 200 OK");
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_NE(logged[0].find(R"("method":"CONNECT")"), std::string::npos) << logged[0];
    EXPECT_NE(logged[3].find(R"("body":{"input":[],"tools":[]})"), std::string::npos) << logged[3];
}

#include "FakeScript.h"

#include <set>
#include <utility>

namespace tarnwick {

namespace {

std::pair<std::string, std::string> splitWord(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) {
        return {};
    }
    std::size_t end = text.find_first_of(" \t", start);
    if (end == std::string::npos) {
        return {text.substr(start), {}};
    }
    std::size_t rest = text.find_first_not_of(" \t", end);
    return {text.substr(start, end - start), rest == std::string::npos ? "" : text.substr(rest)};
}

bool parseAnswer(const std::string& text, FakeAnswer& answer) {
    auto [kind, rest] = splitWord(text);
    if (kind == "result") {
        answer = {FakeAnswer::Kind::result, rest};
    } else if (kind == "error") {
        answer = {FakeAnswer::Kind::error, rest};
    } else if (kind == "silent") {
        answer = {FakeAnswer::Kind::silent, {}};
    } else if (kind == "raw") {
        answer = {FakeAnswer::Kind::raw, rest};
    } else {
        return false;
    }
    return answer.kind == FakeAnswer::Kind::silent || !answer.text.empty();
}

} // namespace

std::string FakeScript::add(const std::vector<std::string>& lines) {
    static const std::set<std::string> stepCommands{"announce",     "wait",  "line",  "write",
                                                    "stderr",       "sleep", "flood", "huge",
                                                    "stop-reading", "exit",  "signal"};
    for (const std::string& rawLine : lines) {
        std::string text = rawLine;
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        auto [command, rest] = splitWord(text);
        if (command.empty() || command.front() == '#') {
            continue;
        }
        if (command == "initialize") {
            if (!parseAnswer(rest, initialize)) {
                return "bad initialize rule: " + text;
            }
        } else if (command == "answer") {
            auto [method, answerText] = splitWord(rest);
            FakeAnswer answer;
            if (method.empty() || !parseAnswer(answerText, answer)) {
                return "bad answer rule: " + text;
            }
            answers[method] = answer;
        } else if (command == "delay") {
            auto [method, milliseconds] = splitWord(rest);
            if (method.empty() || milliseconds.empty()) {
                return "bad delay rule: " + text;
            }
            delays[method] = std::stoi(milliseconds);
        } else if (command == "flood-on") {
            if (rest.empty()) {
                return "bad flood-on rule: " + text;
            }
            floodMethods.insert(rest);
        } else if (command == "reverse") {
            reverseCount = std::stoi(rest);
        } else if (command == "echo") {
            echo = true;
        } else if (command == "ignore-term") {
            ignoreTerm = true;
        } else if (stepCommands.count(command)) {
            steps.push_back({command, rest});
        } else {
            return "unknown command: " + text;
        }
    }
    return {};
}

} // namespace tarnwick

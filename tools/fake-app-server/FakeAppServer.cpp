#include "FakeAppServer.h"

#include "FloodLine.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace tarnwick {

namespace {

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            // The bridge has gone; nothing left to do.
            _exit(0);
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

std::string unescaped(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes.push_back(text[i]);
            continue;
        }
        char kind = text[++i];
        switch (kind) {
        case 'n':
            bytes.push_back('\n');
            break;
        case 'r':
            bytes.push_back('\r');
            break;
        case 't':
            bytes.push_back('\t');
            break;
        case 'e':
            bytes.push_back('\x1b');
            break;
        case 'x':
            if (i + 2 < text.size()) {
                bytes.push_back(
                    static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
                i += 2;
            }
            break;
        default:
            bytes.push_back(kind);
        }
    }
    return bytes;
}

int signalNumber(const std::string& name) {
    if (name == "KILL") {
        return SIGKILL;
    }
    if (name == "TERM") {
        return SIGTERM;
    }
    if (name == "SEGV") {
        return SIGSEGV;
    }
    if (name == "ABRT") {
        return SIGABRT;
    }
    return std::stoi(name);
}

std::string encoded(const JSONValue& value) {
    auto text = value.encode();
    return text ? *text : std::string("null");
}

JSONValue decodedOr(std::string_view text, JSONValue fallback) {
    auto value = JSONValue::decode(text);
    return value ? *value : fallback;
}

} // namespace

FakeAppServer::FakeAppServer(FakeScript script)
    : script_(std::move(script)), reverseRemaining_(script_.reverseCount) {}

int FakeAppServer::run() {
    if (script_.ignoreTerm) {
        ::signal(SIGTERM, SIG_IGN);
    }
    std::thread reader([this] { readInput(); });
    reader.detach();
    for (const FakeStep& step : script_.steps) {
        runStep(step);
    }
    // Serve until the reader sees the end of the input and ends the process.
    for (;;) {
        pause();
    }
}

void FakeAppServer::readInput() {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        {
            std::unique_lock lock(stateMutex_);
            if (stopReading_) {
                stateChanged_.wait(lock, [] { return false; });
            }
        }
        ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            _exit(0);
        }
        buffer.append(chunk, static_cast<std::size_t>(count));
        std::size_t start = 0;
        for (;;) {
            std::size_t end = buffer.find('\n', start);
            if (end == std::string::npos) {
                break;
            }
            handleLine(std::string_view(buffer).substr(start, end - start));
            start = end + 1;
        }
        buffer.erase(0, start);
    }
}

void FakeAppServer::handleLine(std::string_view line) {
    if (script_.echo) {
        JSONObject params{{"line", JSONValue(std::string(line))}};
        JSONObject message{{"method", JSONValue("fake/received")}, {"params", JSONValue(params)}};
        writeOutput(encoded(JSONValue(message)) + "\n");
    }
    auto decoded = JSONValue::decode(line);
    if (!decoded) {
        return;
    }
    const JSONValue* method = decoded->member("method");
    if (method && method->stringValue()) {
        const JSONValue* id = decoded->member("id");
        if (id) {
            const JSONValue* params = decoded->member("params");
            answer(*id, *method->stringValue(), params ? *params : JSONValue());
        }
        std::lock_guard lock(stateMutex_);
        ++seenMethods_[*method->stringValue()];
    } else if (decoded->member("id")) {
        // An answer to one of the fake's own requests, such as an approval question.
        std::lock_guard lock(stateMutex_);
        ++seenMethods_["response"];
    }
    stateChanged_.notify_all();
}

std::string FakeAppServer::answerLine(const JSONValue& id, const std::string& method,
                                      const JSONValue& params) {
    FakeAnswer rule;
    if (method == "initialize") {
        rule = script_.initialize;
    } else if (auto found = script_.answers.find(method); found != script_.answers.end()) {
        rule = found->second;
    } else {
        JSONObject echoed{{"method", JSONValue(method)}, {"params", params}};
        rule = {FakeAnswer::Kind::result, encoded(JSONValue(echoed))};
    }
    switch (rule.kind) {
    case FakeAnswer::Kind::silent:
        return {};
    case FakeAnswer::Kind::raw: {
        std::string text = rule.text;
        std::string idText = encoded(id);
        for (std::size_t at = text.find("$ID"); at != std::string::npos;
             at = text.find("$ID", at + idText.size())) {
            text.replace(at, 3, idText);
        }
        return text + "\n";
    }
    case FakeAnswer::Kind::result:
    case FakeAnswer::Kind::error: {
        const char* member = rule.kind == FakeAnswer::Kind::result ? "result" : "error";
        JSONObject message{{"id", id}, {member, decodedOr(rule.text, JSONValue(rule.text))}};
        return encoded(JSONValue(message)) + "\n";
    }
    }
    return {};
}

void FakeAppServer::answer(const JSONValue& id, const std::string& method,
                           const JSONValue& params) {
    std::string line = answerLine(id, method, params);
    if (line.empty()) {
        return;
    }
    if (method != "initialize") {
        std::unique_lock lock(stateMutex_);
        if (reverseRemaining_ > 0) {
            heldAnswers_.push_back(line);
            if (--reverseRemaining_ > 0) {
                return;
            }
            std::string joined;
            for (auto held = heldAnswers_.rbegin(); held != heldAnswers_.rend(); ++held) {
                joined += *held;
            }
            heldAnswers_.clear();
            lock.unlock();
            writeOutput(joined);
            return;
        }
    }
    if (script_.floodMethods.count(method)) {
        // The answer first, so that the asker knows the flood is coming; the reader serves
        // nothing else until the flood is written.
        writeOutput(line);
        const JSONValue* count = params.member("count");
        const JSONValue* size = params.member("size");
        if (count && count->numberValue() && size && size->numberValue()) {
            writeFlood(static_cast<std::uint64_t>(*count->numberValue()),
                       static_cast<std::size_t>(*size->numberValue()));
        }
        return;
    }
    if (auto delay = script_.delays.find(method); delay != script_.delays.end()) {
        int milliseconds = delay->second;
        std::thread([this, line, milliseconds] {
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            writeOutput(line);
        }).detach();
        return;
    }
    writeOutput(line);
}

void FakeAppServer::writeOutput(std::string_view bytes) {
    std::lock_guard lock(outputMutex_);
    writeAll(STDOUT_FILENO, bytes);
}

void FakeAppServer::writeFlood(std::uint64_t count, std::size_t size) {
    std::string block;
    for (std::uint64_t i = 0; i < count; ++i) {
        block += floodLine(i, size);
        if (block.size() >= 256 * 1024) {
            writeOutput(block);
            block.clear();
        }
    }
    writeOutput(block);
}

void FakeAppServer::announce() {
    JSONObject environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        std::size_t equals = text.find('=');
        if (equals != std::string_view::npos) {
            environment.set(std::string(text.substr(0, equals)),
                            JSONValue(std::string(text.substr(equals + 1))));
        }
    }
    JSONArray descriptors;
    if (DIR* folder = opendir("/proc/self/fd")) {
        int own = dirfd(folder);
        while (dirent* entry = readdir(folder)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            int fd = std::atoi(entry->d_name);
            if (fd != own) {
                descriptors.push_back(JSONValue(fd));
            }
        }
        closedir(folder);
    }
    JSONArray arguments;
    if (FILE* file = std::fopen("/proc/self/cmdline", "rb")) {
        std::string text;
        for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
            if (c == '\0') {
                arguments.push_back(JSONValue(text));
                text.clear();
            } else {
                text.push_back(static_cast<char>(c));
            }
        }
        std::fclose(file);
    }
    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    char cwd[4096] = {};
    if (!getcwd(cwd, sizeof cwd)) {
        cwd[0] = '\0';
    }
    JSONObject params{{"pid", JSONValue(static_cast<double>(getpid()))},
                      {"cwd", JSONValue(std::string(cwd))},
                      {"arguments", JSONValue(arguments)},
                      {"environment", JSONValue(environment)},
                      {"openDescriptors", JSONValue(descriptors)},
                      {"brokenPipeIgnored", JSONValue(current.sa_handler == SIG_IGN)}};
    JSONObject message{{"method", JSONValue("fake/started")}, {"params", JSONValue(params)}};
    writeOutput(encoded(JSONValue(message)) + "\n");
}

void FakeAppServer::runStep(const FakeStep& step) {
    const std::string& command = step.command;
    const std::string& argument = step.argument;
    if (command == "announce") {
        announce();
    } else if (command == "wait") {
        std::unique_lock lock(stateMutex_);
        stateChanged_.wait(lock, [&] { return seenMethods_.count(argument) > 0; });
    } else if (command == "line") {
        writeOutput(argument + "\n");
    } else if (command == "write") {
        writeOutput(unescaped(argument));
    } else if (command == "stderr") {
        writeAll(STDERR_FILENO, unescaped(argument));
    } else if (command == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(argument)));
    } else if (command == "flood") {
        std::size_t space = argument.find(' ');
        std::uint64_t count = std::stoull(argument.substr(0, space));
        std::size_t size =
            space == std::string::npos ? 300 : std::stoul(argument.substr(space + 1));
        writeFlood(count, size);
    } else if (command == "huge") {
        std::size_t bytes = std::stoull(argument);
        std::string head = R"({"method":"fake/huge","params":{"text":")";
        std::string tail = "\"}}\n";
        std::size_t fill =
            bytes > head.size() + tail.size() ? bytes - head.size() - tail.size() : 0;
        std::lock_guard lock(outputMutex_);
        writeAll(STDOUT_FILENO, head);
        std::string piece(1024 * 1024, 'x');
        while (fill > 0) {
            std::size_t count = fill < piece.size() ? fill : piece.size();
            writeAll(STDOUT_FILENO, std::string_view(piece).substr(0, count));
            fill -= count;
        }
        writeAll(STDOUT_FILENO, tail);
    } else if (command == "stop-reading") {
        std::lock_guard lock(stateMutex_);
        stopReading_ = true;
    } else if (command == "exit") {
        std::lock_guard lock(outputMutex_);
        _exit(std::stoi(argument));
    } else if (command == "signal") {
        int number = signalNumber(argument);
        std::lock_guard lock(outputMutex_);
        ::signal(number, SIG_DFL);
        ::raise(number);
        // A signal that does not end the process (or is held up): end anyway.
        ::kill(getpid(), SIGKILL);
    }
}

} // namespace tarnwick

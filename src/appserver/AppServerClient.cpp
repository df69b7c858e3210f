#include "appserver/AppServerClient.h"

#include "appserver/AppServerLog.h"
#include "appserver/CodexExecutableSearch.h"
#include "appserver/ErrorOutputFilter.h"
#include "platform/BufferPool.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/MainQueue.h"
#include "platform/MainThreadOutbox.h"
#include "platform/PipeWriter.h"

#include <utility>
#include <variant>

#ifndef TARNWICK_VERSION
#define TARNWICK_VERSION "0.1.0"
#endif

namespace tarnwick {

namespace {

// The application identifier (as the keychain items use it), in lower case, and ".appserver".
constexpr const char* queueLabel = "app.tarnwick.bridge.appserver";
// Deliveries waiting for the main thread before the queue that makes them waits too, and the
// bytes of text they may hold: a flood of large messages waits at the second, which keeps what
// is in flight to the main thread to about twice that.
constexpr std::size_t outboxCapacity = 8192;
constexpr std::size_t outboxBytes = 8 * 1024 * 1024;
// Deliveries the queue gathers before it hands them over in the middle of a task.
constexpr std::size_t deliveryBatch = 128;
// Handled deliveries the main thread gathers before it sends them back to be freed, and the
// bytes they may hold; whatever is gathered goes back, too, whenever the outbox is empty.
constexpr std::size_t spentBatch = 256;
constexpr std::size_t spentBytes = 1024 * 1024;
// Chunks of output read from the child but not yet framed and decoded before the reader waits,
// which leaves the rest in the pipe and so holds a flooding child back. With reads of at most
// 256 KiB that is 4 MiB at most.
constexpr std::size_t outputBufferCount = 16;
// After SIGKILL a child ends at once unless the kernel holds it; shutdown gives up waiting
// after this (the child is still reaped whenever it ends).
constexpr std::chrono::seconds killWait{60};

} // namespace

struct AppServerClient::Delivery {
    struct Notification {
        std::string method;
        JSONText params;
    };
    struct ServerRequest {
        JSONValue id;
        std::string method;
        JSONText params;
    };
    struct Completion {
        RequestCompletion completion;
        Expected<JSONText, AppServerError> outcome;
    };
    struct Log {
        std::string text;
    };
    using Task = std::function<void(AppServerClient&)>;

    std::variant<Notification, ServerRequest, Completion, Log, Task> content;

    // About the bytes it holds: the texts that may be large, and a little for the rest.
    static std::size_t weight(const Delivery& delivery) {
        constexpr std::size_t overhead = 64;
        if (const auto* notification = std::get_if<Notification>(&delivery.content)) {
            return overhead + notification->params.size();
        }
        if (const auto* completion = std::get_if<Completion>(&delivery.content)) {
            return overhead + (completion->outcome ? completion->outcome->size() : 0);
        }
        return overhead;
    }
};

std::string AppServerClientOptions::applicationVersion() {
    return TARNWICK_VERSION;
}

AppServerClient::AppServerClient() : AppServerClient(AppServerClientOptions{}) {}

AppServerClient::AppServerClient(AppServerClientOptions options)
    : options_(std::move(options)), endpoint_(endpointHandlers(), options_.maxLineBytes),
      ioQueue_(queueLabel) {}

std::shared_ptr<AppServerClient> AppServerClient::create(AppServerClientOptions options) {
    return std::make_shared<AppServerClient>(std::move(options));
}

AppServerClient::~AppServerClient() {
    if (outbox_) {
        outbox_->close();
    }
    if (process_) {
        // Release the child without signalling it: it sees the end of its input.
        process_->removeExitHandler();
        outputBuffers_->cancel();
        input_->cancel();
        process_.reset();
    }
    // ioQueue_, declared last, is joined first; what it still runs delivers nothing.
}

std::optional<std::string> AppServerClient::findCodexExecutable() {
    return CodexExecutableSearch::find();
}

// -------------------------------------------------------------------------------------------
// Deliveries

void AppServerClient::submitIO(std::function<void()> task) {
    if (!outbox_) {
        // Made on first use, when the client is owned and can be held weakly.
        MainThreadOutbox<Delivery>::Capacity capacity{outboxCapacity, outboxBytes,
                                                      &Delivery::weight};
        outbox_ = MainThreadOutbox<Delivery>::create(
            std::move(capacity),
            [weak = weak_from_this()](Delivery& delivery) {
                if (auto self = weak.lock()) {
                    self->handle(delivery);
                }
            },
            [weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    self->recycleSpent();
                }
            });
        outbox_->setHeld(held_);
    }
    ioQueue_.submit([this, task = std::move(task)] {
        task();
        flushDeliveries();
    });
}

void AppServerClient::deliver(Delivery delivery) {
    batch_.push_back(std::move(delivery));
    if (batch_.size() >= deliveryBatch) {
        flushDeliveries();
    }
}

void AppServerClient::flushDeliveries() {
    if (!batch_.empty()) {
        outbox_->send(batch_);
    }
}

void AppServerClient::handle(Delivery& delivery) {
    // The handlers are set once by the owner, so they are called in place rather than copied
    // first (a copy would cost an allocation per message for a handler with large captures).
    if (auto* notification = std::get_if<Delivery::Notification>(&delivery.content)) {
        if (handlers_.notification) {
            handlers_.notification(notification->method, notification->params);
        }
    } else if (auto* request = std::get_if<Delivery::ServerRequest>(&delivery.content)) {
        if (handlers_.serverRequest) {
            handlers_.serverRequest(request->id, request->method, request->params);
        }
    } else if (auto* log = std::get_if<Delivery::Log>(&delivery.content)) {
        if (handlers_.log) {
            handlers_.log(log->text);
        }
    } else {
        // Completions and tasks are the owner's callables (with whatever they hold); they are
        // called, and freed, here on the main thread.
        if (auto* completion = std::get_if<Delivery::Completion>(&delivery.content)) {
            completion->completion(std::move(completion->outcome));
        } else if (auto* task = std::get_if<Delivery::Task>(&delivery.content)) {
            (*task)(*this);
        }
        return;
    }
    spentWeight_ += Delivery::weight(delivery);
    spent_.push_back(std::move(delivery));
    if (spent_.size() >= spentBatch || spentWeight_ >= spentBytes) {
        recycleSpent();
    }
}

void AppServerClient::recycleSpent() {
    if (spent_.empty()) {
        return;
    }
    // The queue made these values, so the queue frees them: its allocations then come back to
    // it, and the main thread never contends with it for the allocator's locks.
    auto spent = std::make_shared<std::vector<Delivery>>(std::move(spent_));
    spent_.clear();
    spentWeight_ = 0;
    ioQueue_.submit([spent = std::move(spent)]() mutable { spent.reset(); });
}

RpcEndpoint::Handlers AppServerClient::endpointHandlers() {
    RpcEndpoint::Handlers handlers;
    handlers.notification = [this](std::string method, JSONText params) {
        deliver({Delivery::Notification{std::move(method), std::move(params)}});
    };
    handlers.serverRequest = [this](JSONValue id, std::string method, JSONText params) {
        deliver({Delivery::ServerRequest{std::move(id), std::move(method), std::move(params)}});
    };
    handlers.completion = [this](RequestCompletion completion,
                                 Expected<JSONText, AppServerError> outcome) {
        deliver({Delivery::Completion{std::move(completion), std::move(outcome)}});
    };
    handlers.log = [this](std::string text) { deliver({Delivery::Log{std::move(text)}}); };
    return handlers;
}

// -------------------------------------------------------------------------------------------
// Main thread

void AppServerClient::start(std::optional<std::string> executable) {
    stopProcess(false);
    if (!executable) {
        report(AppServerError::codexNotFound().description(), false);
        return;
    }
    launch(*executable);
}

void AppServerClient::shutdown() {
    stopProcess(true);
}

void AppServerClient::stopProcess(bool waitUntilReaped) {
    // A new generation ends the old child's readiness at once (isReady compares the two).
    const std::uint64_t generation = ++generation_;
    if (process_) {
        process_->removeExitHandler();
        // Nothing the old child wrote is wanted any more, and a write it does not read must
        // not hold up the queue.
        outputBuffers_->cancel();
        input_->cancel();
        process_->removeOutputHandlers();
        process_->terminate();
        if (waitUntilReaped && !process_->waitForExit(options_.shutdownGrace)) {
            process_->kill();
            process_->waitForExit(killWait);
        }
        process_.reset();
        outputBuffers_.reset();
        input_.reset();
    }
    submitIO([this, generation] {
        activeGeneration_ = generation;
        endpoint_.setWriter(nullptr);
        // An unfinished line of the old child must not be joined to the new child's first.
        endpoint_.resetOutput();
        std::vector<RequestCompletion> completions = endpoint_.takePending();
        if (!completions.empty()) {
            deliver({[completions = std::move(completions)](AppServerClient&) {
                for (const RequestCompletion& completion : completions) {
                    completion(Unexpected(AppServerError::notReady()));
                }
            }});
        }
    });
}

void AppServerClient::launch(const std::string& executable) {
    const std::uint64_t generation = generation_;
    auto buffers = std::make_shared<BufferPool>(outputBufferCount);

    ChildProcess::Handlers handlers;
    // The readers are joined before the client goes away (stopProcess, destructor), so they
    // may use `this`; they must not hold the client, whose last owner could then be a reader.
    handlers.standardOutput = [this, generation, buffers](std::string_view bytes) {
        std::optional<std::string> buffer = buffers->acquire();
        if (!buffer) {
            return;
        }
        buffer->assign(bytes);
        auto chunk = std::make_shared<std::string>(std::move(*buffer));
        ioQueue_.submit([this, generation, buffers, chunk] {
            if (generation == activeGeneration_) {
                endpoint_.consumeOutput(*chunk);
                flushDeliveries();
            }
            buffers->release(std::move(*chunk));
        });
    };
    handlers.standardError = [weak = weak_from_this(),
                              filter = ErrorOutputFilter()](std::string_view bytes) mutable {
        std::optional<std::string> text = filter.take(bytes);
        if (!text) {
            return;
        }
        postToMain([weak, text = std::move(*text)] {
            if (auto self = weak.lock(); self && self->handlers_.log) {
                self->handlers_.log(text);
            }
        });
    };
    handlers.exit = [weak = weak_from_this(), generation](ChildExitStatus status) {
        postToMain([weak, generation, status] {
            if (auto self = weak.lock()) {
                self->handleExit(generation, status.value);
            }
        });
    };

    LaunchOptions launchOptions;
    launchOptions.executable = executable;
    launchOptions.arguments = {"app-server"};
    launchOptions.environment = currentEnvironment();
    launchOptions.workingDirectory = homeDirectory();
    auto launched = ChildProcess::launch(launchOptions, std::move(handlers));
    if (!launched) {
        qCDebug(appServerLog) << "Could not launch" << executable.c_str();
        report(launched.error().description, false);
        return;
    }
    process_ = std::move(launched).value();
    qCDebug(appServerLog) << "Launched" << executable.c_str() << "app-server as process"
                          << process_->processId() << "generation" << generation;
    outputBuffers_ = std::move(buffers);
    input_ = process_->input();
    report("Starting Codex app-server\u2026", false);
    submitIO([this, generation, input = input_] { beginInitialize(generation, input); });
}

void AppServerClient::handleExit(std::uint64_t generation, std::int32_t status) {
    if (generation != generation_) {
        // A child that was already replaced; its end is no news.
        return;
    }
    qCDebug(appServerLog) << "App-server generation" << generation << "exited with status"
                          << status;
    exitedGeneration_.store(generation);
    std::uint64_t expected = generation;
    readyGeneration_.compare_exchange_strong(expected, 0);
    report(AppServerError::terminated(status).description(), false);
}

void AppServerClient::report(const std::string& text, bool ready) {
    if (handlers_.status) {
        handlers_.status(text, ready);
    }
}

void AppServerClient::holdDeliveries(bool held) {
    held_ = held;
    if (outbox_) {
        outbox_->setHeld(held);
    }
}

bool AppServerClient::isReady() const {
    std::uint64_t ready = readyGeneration_.load();
    return ready != 0 && ready == generation_;
}

std::optional<int> AppServerClient::processId() const {
    if (!process_) {
        return std::nullopt;
    }
    return process_->processId();
}

void AppServerClient::request(std::string method, JSONValue params, RequestCompletion completion) {
    submitIO([this, method = std::move(method), params = std::move(params),
              completion = std::move(completion)]() mutable {
        if (!readyOnQueue()) {
            deliver({Delivery::Completion{std::move(completion),
                                          Unexpected(AppServerError::notReady())}});
            return;
        }
        endpoint_.sendRequest(std::move(method), std::move(params), std::move(completion));
    });
}

void AppServerClient::respond(JSONValue id, JSONValue result) {
    submitIO([this, id = std::move(id), result = std::move(result)]() mutable {
        endpoint_.sendResult(std::move(id), std::move(result));
    });
}

void AppServerClient::respondError(JSONValue id, std::string message) {
    submitIO([this, id = std::move(id), message = std::move(message)]() mutable {
        endpoint_.sendError(std::move(id), std::move(message));
    });
}

// -------------------------------------------------------------------------------------------
// ioQueue

bool AppServerClient::readyOnQueue() const {
    std::uint64_t ready = readyGeneration_.load();
    return ready != 0 && ready == activeGeneration_;
}

void AppServerClient::beginInitialize(std::uint64_t generation, std::shared_ptr<PipeWriter> input) {
    if (generation != activeGeneration_) {
        return;
    }
    endpoint_.setWriter(
        [input = std::move(input)](std::string_view line) -> Expected<void, WriteError> {
            auto written = input->writeAll(line);
            if (!written && written.error().cancelled) {
                // The child was stopped meanwhile: the line is dropped like any line for no
                // child.
                return {};
            }
            return written;
        });
    JSONObject clientInfo{{"name", JSONValue("tarnwick_bridge")},
                          {"title", JSONValue("Tarnwick Bridge")},
                          {"version", JSONValue(options_.version)}};
    JSONObject params{{"clientInfo", JSONValue(std::move(clientInfo))}};
    endpoint_.sendRequest(
        "initialize", JSONValue(std::move(params)),
        [weak = weak_from_this(), generation](Expected<JSONText, AppServerError> outcome) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (!outcome) {
                self->report("Initialization failed: " + outcome.error().description(), false);
                return;
            }
            // The answer of a child that has been replaced meanwhile finishes nothing.
            if (generation == self->generation_) {
                AppServerClient* client = self.get();
                self->submitIO([client, generation] { client->finishInitialize(generation); });
            }
        });
}

void AppServerClient::finishInitialize(std::uint64_t generation) {
    if (generation != activeGeneration_) {
        return;
    }
    endpoint_.sendNotification("initialized", JSONValue(JSONObject{}));
    readyGeneration_.store(generation);
    if (exitedGeneration_.load() == generation) {
        // The child ended meanwhile; its exit has been (or is being) reported.
        std::uint64_t expected = generation;
        readyGeneration_.compare_exchange_strong(expected, 0);
        return;
    }
    deliver({[generation](AppServerClient& self) {
        if (generation == self.generation_) {
            self.report("Codex app-server ready", true);
        }
    }});
}

} // namespace tarnwick

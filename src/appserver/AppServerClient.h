#pragma once

#include "appserver/AppServerError.h"
#include "appserver/RpcEndpoint.h"
#include "json/JSONText.h"
#include "json/JSONValue.h"
#include "platform/SerialQueue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

class ChildProcess;
class BufferPool;
class PipeWriter;
template <typename Item>
class MainThreadOutbox;

struct AppServerClientOptions {
    // The version the bridge gives in its initialize request.
    std::string version = applicationVersion();
    // A line of output longer than this is dropped with a protocol error.
    std::size_t maxLineBytes = RpcEndpoint::defaultMaxLineBytes;
    // How long shutdown waits after SIGTERM before it sends SIGKILL.
    std::chrono::milliseconds shutdownGrace{5000};

    // The application's own version, from the build.
    static std::string applicationVersion();
};

// Runs the Codex CLI as `codex app-server` in a child process and speaks its newline-delimited
// JSON-RPC over the child's standard input and output.
//
// Everything public is called on the main thread, and every handler and request completion is
// delivered there, in the order the child wrote the lines. The protocol state (request ids, the
// table of waiting requests, the unfinished line) lives on a serial queue of its own, which
// also does every write, so a child that stops reading never blocks the main thread.
//
// The client must be owned by a shared_ptr (use create or std::make_shared): background work
// holds it weakly, and nothing is delivered once it is gone. Destroying it releases its
// handles without signalling the child (which sees the end of its input); shutdown ends the
// child for good.
class AppServerClient : public std::enable_shared_from_this<AppServerClient> {
public:
    AppServerClient();
    explicit AppServerClient(AppServerClientOptions options);
    ~AppServerClient();
    AppServerClient(const AppServerClient&) = delete;
    AppServerClient& operator=(const AppServerClient&) = delete;

    static std::shared_ptr<AppServerClient> create(AppServerClientOptions options = {});

    // The `codex` to run: the first that the user may execute, in the order of
    // CodexExecutableSearch.
    static std::optional<std::string> findCodexExecutable();

    // What the client reports, all on the main thread. Its work runs on a thread of its own and
    // it is no QObject, so it reports through this one struct (not signals), which the owner
    // sets once with setHandlers; each is looked up when its delivery runs, not when it was queued.
    // The arguments are valid during the call; a handler that keeps one copies it. (The client
    // takes the values back afterwards and frees them on its own queue, where they were made:
    // freeing a flood of decoded messages on the main thread would set the two threads
    // fighting over the allocator.)
    struct Handlers {
        std::function<void(const std::string& method, const JSONText& params)> notification;
        std::function<void(const JSONValue& id, const std::string& method, const JSONText& params)>
            serverRequest;
        // Status lines; `ready` is true only with "Codex app-server ready".
        std::function<void(const std::string& text, bool ready)> status;
        // The child's standard error, protocol errors and write failures.
        std::function<void(const std::string& text)> log;
    };
    void setHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

    // Stops any running child (failing its waiting requests with notReady) and launches a new
    // one with `executable`. Reports "Starting Codex app-server…", the not-found text or the
    // launch failure through the status handler before returning; readiness follows later.
    void start(std::optional<std::string> executable);

    // Sends a request once the app-server is ready; fails with notReady before that.
    void request(std::string method, JSONValue params, RequestCompletion completion);
    // Answers a server request with a result, or with an error (code -32601).
    void respond(JSONValue id, JSONValue result);
    void respondError(JSONValue id, std::string message);

    bool isReady() const;

    // While held, nothing more is delivered: what the child writes waits, in order, and once
    // that is bounded (about 16 MiB) the child waits to write. Deliveries go on when the hold
    // ends. For an owner whose own receivers fall behind.
    void holdDeliveries(bool held);

    // Ends the child for good: SIGTERM, SIGKILL when it has not ended after the grace period,
    // and waits until it has been reaped. Waiting requests fail with notReady; no exit status
    // is reported. start may be called again afterwards.
    void shutdown();

    // The running child's process id, if there is a child.
    std::optional<int> processId() const;

private:
    void stopProcess(bool waitUntilReaped);
    void launch(const std::string& executable);
    void report(const std::string& text, bool ready);
    RpcEndpoint::Handlers endpointHandlers();
    void handleExit(std::uint64_t generation, std::int32_t status);

    // On ioQueue.
    void beginInitialize(std::uint64_t generation, std::shared_ptr<PipeWriter> input);
    void finishInitialize(std::uint64_t generation);
    bool readyOnQueue() const;

    // What the ioQueue hands to the main thread: a handler's arguments, a completion with its
    // outcome, or some other task.
    struct Delivery;
    void handle(Delivery& delivery);
    // Main thread: sends handled deliveries back to ioQueue to be freed there.
    void recycleSpent();
    // On ioQueue: queues a delivery for the main thread, after everything queued before it;
    // it runs only while the client exists. Deliveries go out in batches: when a task on the
    // queue is done (submitIO) or when enough have gathered.
    void deliver(Delivery delivery);
    void flushDeliveries();
    // Main thread: runs `task` on ioQueue, then hands over what it delivered.
    void submitIO(std::function<void()> task);

    const AppServerClientOptions options_;
    Handlers handlers_;
    std::shared_ptr<MainThreadOutbox<Delivery>> outbox_;

    // Main thread: the running child. Each child has a generation number, so that whatever
    // an earlier child still has on its way (output, its exit, its initialize answer) is
    // recognised and dropped.
    std::unique_ptr<ChildProcess> process_;
    std::shared_ptr<BufferPool> outputBuffers_;
    std::shared_ptr<PipeWriter> input_;
    std::uint64_t generation_ = 0;
    std::vector<Delivery> spent_;
    bool held_ = false;
    std::size_t spentWeight_ = 0;

    // Both threads: the generation that has completed its initialize handshake (0: none), and
    // the generation whose exit has been reported.
    std::atomic<std::uint64_t> readyGeneration_{0};
    std::atomic<std::uint64_t> exitedGeneration_{0};

    // ioQueue only.
    RpcEndpoint endpoint_;
    std::uint64_t activeGeneration_ = 0;
    std::vector<Delivery> batch_;

    // Declared last so that it is joined first, while everything its tasks touch still exists.
    SerialQueue ioQueue_;
};

} // namespace tarnwick

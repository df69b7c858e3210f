#include "platform/ChildProcess.h"

#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace tarnwick {

// Shared by the child's owner and the thread that waits for the child, which may outlive it.
struct ChildProcess::ExitWatch {
    explicit ExitWatch(pid_t processId, ExitHandler exitHandler)
        : pid(processId), handler(std::move(exitHandler)) {}

    const pid_t pid;

    // Guards `status`. Signals are sent while holding it, and the child is reaped while holding
    // it, so a reaped (and perhaps reused) process number is never signalled.
    mutable std::mutex mutex;
    mutable std::condition_variable reaped;
    std::optional<ChildExitStatus> status;

    // Held while the handler runs, so that removing it waits for a call in progress.
    std::mutex handlerMutex;
    ExitHandler handler;

    static void watch(const std::shared_ptr<ExitWatch>& self) {
        siginfo_t info{};
        // Wait without reaping first; the reaping itself happens under the lock.
        while (waitid(P_PID, static_cast<id_t>(self->pid), &info, WEXITED | WNOWAIT) != 0) {
            if (errno != EINTR) {
                break;
            }
        }
        ChildExitStatus ended;
        {
            std::lock_guard lock(self->mutex);
            siginfo_t reapedInfo{};
            int result;
            do {
                result = waitid(P_PID, static_cast<id_t>(self->pid), &reapedInfo, WEXITED);
            } while (result != 0 && errno == EINTR);
            if (result == 0) {
                ended.signalled =
                    reapedInfo.si_code == CLD_KILLED || reapedInfo.si_code == CLD_DUMPED;
                ended.value = reapedInfo.si_status;
            } else {
                // Someone else reaped it; the status is lost.
                ended.value = -1;
            }
            self->status = ended;
        }
        self->reaped.notify_all();
        std::lock_guard lock(self->handlerMutex);
        if (self->handler) {
            ExitHandler handler = std::move(self->handler);
            self->handler = nullptr;
            handler(ended);
        }
    }
};

namespace {

struct Pipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

std::optional<Pipe> makePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

PlatformError launchError(const std::string& executable, int code) {
    return PlatformError{"Could not launch " + executable + ": " +
                         std::system_category().message(code) + "."};
}

void ignoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

// The posix_spawn attributes and file actions, released on every path.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
};

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

Expected<std::unique_ptr<ChildProcess>, PlatformError>
ChildProcess::launch(const LaunchOptions& options, Handlers handlers) {
    ignoreBrokenPipes();

    auto input = makePipe();
    auto output = makePipe();
    auto error = makePipe();
    if (!input || !output || !error) {
        return Unexpected(launchError(options.executable, errno));
    }

    // A larger pipe for the output lets a chatty child write more at a time, which means fewer
    // wake-ups on both sides. The system may refuse (it caps the size for unprivileged users);
    // the default size works too.
    fcntl(output->readEnd.get(), F_SETPIPE_SZ, 1024 * 1024);
    // The ends this process keeps are set up before the child exists, so that nothing can fail
    // once it runs. The child's copies of them close on exec.
    auto writer = PipeWriter::open(std::move(input->writeEnd));
    if (!writer) {
        return Unexpected(writer.error());
    }
    auto outputReader =
        PipeReader::start(std::move(output->readEnd), std::move(handlers.standardOutput));
    if (!outputReader) {
        return Unexpected(outputReader.error());
    }
    auto errorReader =
        PipeReader::start(std::move(error->readEnd), std::move(handlers.standardError));
    if (!errorReader) {
        return Unexpected(errorReader.error());
    }

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, input->readEnd.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, output->writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, error->writeEnd.get(), STDERR_FILENO);
    // Whatever else this process has open, also without close-on-exec, stays here.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingDirectory.c_str());
    }
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t noneBlocked;
    sigemptyset(&noneBlocked);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &noneBlocked);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> argumentTexts;
    argumentTexts.push_back(options.executable);
    argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentTexts = options.environment;
    std::vector<char*> argv = pointers(argumentTexts);
    std::vector<char*> envp = pointers(environmentTexts);

    pid_t pid = -1;
    int result = posix_spawn(&pid, options.executable.c_str(), &setup.actions, &setup.attributes,
                             argv.data(), envp.data());
    if (result != 0) {
        return Unexpected(launchError(options.executable, result));
    }
    input->readEnd.reset();
    output->writeEnd.reset();
    error->writeEnd.reset();

    auto watch = std::make_shared<ExitWatch>(pid, std::move(handlers.exit));
    // The waiting thread holds only the shared watch, so it may outlive this object and still
    // reap the child.
    std::thread([watch] { ExitWatch::watch(watch); }).detach();
    return std::make_unique<ChildProcess>(Key(), pid, std::move(watch), std::move(*writer),
                                          std::move(*outputReader), std::move(*errorReader));
}

ChildProcess::ChildProcess(Key, int pid, std::shared_ptr<ExitWatch> watch,
                           std::shared_ptr<PipeWriter> input, std::unique_ptr<PipeReader> output,
                           std::unique_ptr<PipeReader> error)
    : pid_(pid), watch_(std::move(watch)), input_(std::move(input)), output_(std::move(output)),
      error_(std::move(error)) {}

ChildProcess::~ChildProcess() {
    removeExitHandler();
    removeOutputHandlers();
    if (input_) {
        input_->cancel();
    }
}

void ChildProcess::closeInput() {
    if (input_) {
        input_->cancel();
        input_.reset();
    }
}

void ChildProcess::removeExitHandler() {
    std::lock_guard lock(watch_->handlerMutex);
    watch_->handler = nullptr;
}

void ChildProcess::removeOutputHandlers() {
    output_->stop();
    error_->stop();
}

bool ChildProcess::isRunning() const {
    std::lock_guard lock(watch_->mutex);
    return !watch_->status;
}

std::optional<ChildExitStatus> ChildProcess::exitStatus() const {
    std::lock_guard lock(watch_->mutex);
    return watch_->status;
}

void ChildProcess::terminate() {
    signal(SIGTERM);
}

void ChildProcess::kill() {
    signal(SIGKILL);
}

void ChildProcess::signal(int number) {
    std::lock_guard lock(watch_->mutex);
    if (!watch_->status) {
        ::kill(watch_->pid, number);
    }
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(watch_->mutex);
    return watch_->reaped.wait_for(lock, timeout, [this] { return watch_->status.has_value(); });
}

} // namespace tarnwick

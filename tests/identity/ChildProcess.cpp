#include "ChildProcess.h"

#include <QTemporaryFile>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace tarnwick::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::string& inputFile) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (error != 0) {
        ::close(pipeEnds[0]);
        ADD_FAILURE() << "Could not start " << arguments[0] << ": " << std::strerror(error);
        return;
    }
    pid_ = pid;
    output_ = pipeEnds[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill();
        wait();
    }
    if (output_ >= 0) {
        ::close(output_);
    }
}

std::optional<std::string> ChildProcess::readLine() {
    for (;;) {
        if (auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        char chunk[4096];
        ssize_t count = ::read(output_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return std::nullopt;
        }
        buffered_.append(chunk, static_cast<std::size_t>(count));
    }
}

std::string ChildProcess::readAll() {
    std::string all = std::move(buffered_);
    buffered_.clear();
    char chunk[65536];
    for (;;) {
        ssize_t count = ::read(output_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return all;
        }
        all.append(chunk, static_cast<std::size_t>(count));
    }
}

void ChildProcess::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
    }
}

int ChildProcess::wait() {
    if (pid_ <= 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Finished runToEnd(const std::vector<std::string>& arguments, const std::string& input) {
    QTemporaryFile inputFile;
    if (!inputFile.open()) {
        ADD_FAILURE() << "Could not make a temporary file.";
        return {};
    }
    inputFile.write(input.data(), static_cast<qint64>(input.size()));
    inputFile.flush();
    ChildProcess child(arguments, inputFile.fileName().toStdString());
    Finished finished;
    finished.output = child.readAll();
    finished.status = child.wait();
    return finished;
}

} // namespace tarnwick::testing

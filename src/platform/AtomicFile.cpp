#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnwick {

namespace {

Unexpected<PlatformError> systemError(int error) {
    return Unexpected(PlatformError{std::strerror(error), error});
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

} // namespace

Expected<void, PlatformError> makeFolders(const std::string& path, mode_t mode) {
    if (path.empty()) {
        return {};
    }
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
            return systemError(errno);
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    return {};
}

Expected<void, PlatformError> writeFileAtomically(const std::string& path, std::string_view bytes,
                                                  mode_t fileMode, mode_t folderMode) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (auto made = makeFolders(folder, folderMode); !made) {
        return made;
    }
    std::string temporary = path + ".XXXXXX";
    FileDescriptor file(::mkstemp(temporary.data()));
    if (file.get() < 0) {
        return systemError(errno);
    }
    auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        return systemError(error);
    };
    if (::fchmod(file.get(), fileMode) != 0) {
        return fail(errno);
    }
    for (std::size_t written = 0; written < bytes.size();) {
        ssize_t count = ::write(file.get(), bytes.data() + written, bytes.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(errno);
        }
        written += static_cast<std::size_t>(count);
    }
    if (::fsync(file.get()) != 0) {
        return fail(errno);
    }
    if (::close(file.release()) != 0) {
        return fail(errno);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        return fail(errno);
    }
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) {
        ::fsync(directory.get());
    }
    return {};
}

} // namespace tarnwick

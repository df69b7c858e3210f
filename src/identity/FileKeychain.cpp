#include "identity/FileKeychain.h"

#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnwick {

namespace {

KeychainError errnoError(int error) {
    char buffer[256] = {};
    // The GNU variant returns a pointer to the text, which may or may not be `buffer`.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return KeychainError::fromStatus(error, text ? text : "");
}

Unexpected<KeychainError> failure(int error) {
    return Unexpected(errnoError(error));
}

// One path component that can only name an item of its own folder: not empty, no slash or NUL,
// and not starting with a dot (no "." or "..", and nothing hidden).
bool isPlainName(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// Appends to a buffer that holds secret bytes; when the buffer has to grow, the old copy is
// wiped before it is released.
void appendSecret(std::string& out, const char* bytes, std::size_t count) {
    if (out.size() + count > out.capacity()) {
        std::string larger;
        larger.reserve(std::max(out.capacity() * 2, out.size() + count));
        larger.append(out);
        OPENSSL_cleanse(out.data(), out.size());
        out.swap(larger);
    }
    out.append(bytes, count);
}

} // namespace

FileKeychain::FileKeychain(std::string service, std::filesystem::path root)
    : service_(std::move(service)), folder_(std::move(root) / service_) {}

Expected<std::filesystem::path, KeychainError>
FileKeychain::itemPath(std::string_view account) const {
    if (!isPlainName(service_) || !isPlainName(account)) {
        return failure(EINVAL);
    }
    return folder_ / std::string(account);
}

Expected<std::optional<std::string>, KeychainError> FileKeychain::read(std::string_view account) {
    auto path = itemPath(account);
    if (!path) {
        return Unexpected(path.error());
    }
    Descriptor file(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        if (errno == ENOENT) {
            return std::optional<std::string>();
        }
        return failure(errno);
    }
    struct stat info = {};
    if (::fstat(file.get(), &info) != 0) {
        return failure(errno);
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[4096];
    for (;;) {
        ssize_t count = ::read(file.get(), chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            int error = errno;
            OPENSSL_cleanse(chunk, sizeof chunk);
            OPENSSL_cleanse(bytes.data(), bytes.size());
            return failure(error);
        }
        if (count == 0) {
            break;
        }
        appendSecret(bytes, chunk, static_cast<std::size_t>(count));
    }
    OPENSSL_cleanse(chunk, sizeof chunk);
    return std::optional<std::string>(std::move(bytes));
}

Expected<void, KeychainError> FileKeychain::save(std::string_view bytes, std::string_view account) {
    auto path = itemPath(account);
    if (!path) {
        return Unexpected(path.error());
    }
    if (auto written = writeFileAtomically(path->string(), bytes, 0600, 0700); !written) {
        const PlatformError& error = written.error();
        return Unexpected(
            KeychainError::fromStatus(error.code != 0 ? error.code : EIO, error.description));
    }
    return {};
}

Expected<void, KeychainError> FileKeychain::remove(std::string_view account) {
    auto path = itemPath(account);
    if (!path) {
        return Unexpected(path.error());
    }
    if (::unlink(path->c_str()) != 0) {
        if (errno == ENOENT) {
            return {};
        }
        return failure(errno);
    }
    return syncFolder();
}

Expected<void, KeychainError> FileKeychain::syncFolder() const {
    Descriptor folder(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        return failure(errno);
    }
    if (::fsync(folder.get()) != 0) {
        return failure(errno);
    }
    return {};
}

} // namespace tarnwick

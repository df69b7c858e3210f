#include "identity/FileKeychain.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

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
// and not starting with a dot (dot files are the store's own temporary files).
bool isPlainName(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

// Closes a descriptor when it goes out of scope, unless it was closed explicitly.
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
    // Closes now and reports the result, which for a written file may carry a late write error.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

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

Expected<void, KeychainError> writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failure(errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
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
    if (auto made = makeFolder(); !made) {
        return made;
    }
    std::string temporary = (folder_ / ("." + std::string(account) + ".XXXXXX")).string();
    Descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.valid()) {
        return failure(errno);
    }
    auto discard = [&](int error) {
        ::unlink(temporary.c_str());
        return failure(error);
    };
    if (::fchmod(file.get(), 0600) != 0) {
        return discard(errno);
    }
    if (auto written = writeAll(file.get(), bytes); !written) {
        return discard(written.error().status);
    }
    if (::fsync(file.get()) != 0) {
        return discard(errno);
    }
    if (file.close() != 0) {
        return discard(errno);
    }
    if (::rename(temporary.c_str(), path->c_str()) != 0) {
        return discard(errno);
    }
    // Without this the rename itself may not survive a power loss.
    return syncFolder();
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

Expected<void, KeychainError> FileKeychain::makeFolder() const {
    std::filesystem::path partial;
    for (const auto& component : folder_) {
        partial /= component;
        if (component == "/" || component.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), 0700) == 0) {
            // mkdir applies the umask; the store's folders are exactly owner-only.
            if (::chmod(partial.c_str(), 0700) != 0) {
                return failure(errno);
            }
            continue;
        }
        if (errno != EEXIST) {
            return failure(errno);
        }
        struct stat info = {};
        if (::stat(partial.c_str(), &info) != 0) {
            return failure(errno);
        }
        if (!S_ISDIR(info.st_mode)) {
            return failure(ENOTDIR);
        }
    }
    return {};
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

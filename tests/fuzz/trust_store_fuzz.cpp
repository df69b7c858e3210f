// Loads the input as the stored trust list. Any input may give an empty store; whatever loads
// must be written back in a form that loads to the same records.
#include "identity/TrustStore.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string_view>

namespace {

class SingleItemKeychain final : public tarnwick::KeychainStore {
public:
    explicit SingleItemKeychain(std::string bytes) : bytes_(std::move(bytes)) {}
    tarnwick::Expected<std::optional<std::string>, tarnwick::KeychainError>
    read(std::string_view) override {
        return std::optional<std::string>(bytes_);
    }
    tarnwick::Expected<void, tarnwick::KeychainError> save(std::string_view bytes,
                                                           std::string_view) override {
        bytes_ = bytes;
        return {};
    }

private:
    std::string bytes_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SingleItemKeychain keychain(std::string(reinterpret_cast<const char*>(data), size));
    tarnwick::TrustStore store(keychain, [] { return 0.0; });
    auto loaded = store.peers();
    if (store.lookupPeer("\x01never") && !loaded.count("\x01never")) {
        std::abort();
    }
    // Removing an unknown device rewrites the same records.
    if (!store.remove(std::string_view("\x01never", 6))) {
        std::abort();
    }
    tarnwick::TrustStore reloaded(keychain, [] { return 0.0; });
    if (reloaded.peers() != loaded) {
        std::abort();
    }
    return 0;
}

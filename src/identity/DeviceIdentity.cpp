#include "identity/DeviceIdentity.h"

#include "identity/Base64.h"
#include "identity/CryptoSupport.h"
#include "identity/IdentityLog.h"

#include <QSettings>
#include <QUuid>

#include <openssl/crypto.h>

namespace tarnwick {

namespace {

constexpr std::size_t nonceSize = 24;

// Wipes a string that held key bytes when it goes out of scope.
class WipeOnExit {
public:
    explicit WipeOnExit(std::string& bytes) : bytes_(bytes) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

private:
    std::string& bytes_;
};

Error fromKeychain(const KeychainError& error) {
    return Error{error.description};
}

Expected<P256SigningKey, Error> loadOrMakeKey(KeychainStore& keychain) {
    auto stored = keychain.read(DeviceIdentity::signingKeyAccount);
    if (!stored) {
        return Unexpected(fromKeychain(stored.error()));
    }
    if (stored->has_value()) {
        std::string& bytes = **stored;
        WipeOnExit wipe(bytes);
        return P256SigningKey::fromRawRepresentation(bytes);
    }
    auto key = P256SigningKey::generate();
    if (!key) {
        return key;
    }
    auto raw = key->rawRepresentation();
    if (!raw) {
        return Unexpected(raw.error());
    }
    WipeOnExit wipe(*raw);
    if (auto saved = keychain.save(*raw, DeviceIdentity::signingKeyAccount); !saved) {
        return Unexpected(fromKeychain(saved.error()));
    }
    return key;
}

std::string loadOrMakeDeviceID(QSettings& settings) {
    const QString key =
        QString::fromLatin1(DeviceIdentity::deviceIDKey.data(),
                            static_cast<qsizetype>(DeviceIdentity::deviceIDKey.size()));
    if (settings.contains(key)) {
        return settings.value(key).toString().toStdString();
    }
    QString made = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    settings.setValue(key, made);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        // The ID still serves this run; the next run makes another one.
        qCWarning(identityLog, "Could not store the device ID in %s.",
                  qUtf8Printable(settings.fileName()));
    }
    return made.toStdString();
}

} // namespace

DeviceIdentity::DeviceIdentity(ConstructionKey, P256SigningKey key, std::string deviceID)
    : key_(std::move(key)), deviceID_(std::move(deviceID)) {}

Expected<std::unique_ptr<DeviceIdentity>, Error> DeviceIdentity::create(KeychainStore& keychain,
                                                                        QSettings& settings) {
    auto key = loadOrMakeKey(keychain);
    if (!key) {
        return Unexpected(key.error());
    }
    std::string deviceID = loadOrMakeDeviceID(settings);
    return std::make_unique<DeviceIdentity>(ConstructionKey{}, std::move(*key),
                                            std::move(deviceID));
}

std::string DeviceIdentity::publicKey() const {
    return base64Encode(key_.publicKeyRawRepresentation());
}

Expected<std::string, Error> DeviceIdentity::sign(std::string_view bytes) const {
    auto signature = key_.signature(bytes);
    if (!signature) {
        return Unexpected(signature.error());
    }
    return base64Encode(*signature);
}

HelloOffer DeviceIdentity::makeOffer(std::string_view displayName,
                                     std::string_view certificate) const {
    return HelloOffer{deviceID_, std::string(displayName), publicKey(), randomNonceV2(),
                      std::string(certificate)};
}

Expected<HelloPayload, Error> DeviceIdentity::makeHello(std::string_view displayName) const {
    auto nonce = secureRandomBytes(nonceSize);
    if (!nonce) {
        return Unexpected(nonce.error());
    }
    HelloPayload hello{deviceID_, std::string(displayName), publicKey(), base64Encode(*nonce), {}};
    auto signature = key_.signature(hello.signedText());
    if (!signature) {
        return Unexpected(signature.error());
    }
    hello.signature = base64Encode(*signature);
    return hello;
}

} // namespace tarnwick

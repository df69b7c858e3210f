#include "identity/P256SigningKey.h"

#include "identity/CryptoSupport.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <array>
#include <bit>

namespace tarnwick {

namespace {

constexpr char groupName[] = "prime256v1";
constexpr std::size_t uncompressedSize = 1 + P256SigningKey::publicRawSize;

template <typename T, void (*release)(T*)>
struct Releaser {
    void operator()(T* object) const { release(object); }
};
using Group = std::unique_ptr<EC_GROUP, Releaser<EC_GROUP, EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Releaser<EC_POINT, EC_POINT_free>>;
using SecretNumber = std::unique_ptr<BIGNUM, Releaser<BIGNUM, BN_clear_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, Releaser<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Releaser<EVP_MD_CTX, EVP_MD_CTX_free>>;

Unexpected<Error> invalidKey(std::string_view why) {
    discardOpenSSLErrors();
    return Unexpected(Error{"The device signing key is not a valid P-256 private key (" +
                            std::string(why) + ")."});
}

// A fixed-size buffer that is wiped when it goes out of scope.
template <std::size_t N>
struct WipedBuffer {
    std::array<unsigned char, N> bytes = {};
    WipedBuffer() = default;
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;
    ~WipedBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

} // namespace

void P256SigningKey::KeyRelease::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

P256SigningKey::P256SigningKey(KeyHandle key, std::string publicRaw)
    : key_(std::move(key)), publicRaw_(std::move(publicRaw)) {}

Expected<P256SigningKey, Error> P256SigningKey::generate() {
    KeyHandle key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        return Unexpected(openSSLError("Could not generate a P-256 key"));
    }
    std::array<unsigned char, uncompressedSize> point = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                        point.size(), &length) != 1 ||
        length != uncompressedSize || point[0] != POINT_CONVERSION_UNCOMPRESSED) {
        return Unexpected(openSSLError("Could not read the public key of a new P-256 key"));
    }
    std::string publicRaw(reinterpret_cast<const char*>(point.data()) + 1, publicRawSize);
    return P256SigningKey(std::move(key), std::move(publicRaw));
}

Expected<P256SigningKey, Error> P256SigningKey::fromRawRepresentation(std::string_view scalar) {
    if (scalar.size() != rawSize) {
        return invalidKey(std::to_string(scalar.size()) + " bytes instead of 32");
    }
    Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    SecretNumber number(BN_secure_new());
    Point point(group ? EC_POINT_new(group.get()) : nullptr);
    if (!group || !number || !point) {
        return Unexpected(openSSLError("Could not load the device signing key"));
    }
    if (!BN_bin2bn(reinterpret_cast<const unsigned char*>(scalar.data()),
                   static_cast<int>(scalar.size()), number.get())) {
        return Unexpected(openSSLError("Could not load the device signing key"));
    }
    if (BN_is_zero(number.get()) || BN_cmp(number.get(), EC_GROUP_get0_order(group.get())) >= 0) {
        return invalidKey("the scalar is out of range");
    }
    // The public point is derived here: the key needs it to be complete, and OpenSSL does not
    // derive it on import.
    std::array<unsigned char, uncompressedSize> encodedPoint = {};
    if (EC_POINT_mul(group.get(), point.get(), number.get(), nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED,
                           encodedPoint.data(), encodedPoint.size(), nullptr) != uncompressedSize) {
        return Unexpected(
            openSSLError("Could not derive the public key of the device signing key"));
    }

    // OSSL_PARAM numbers are unsigned integers in the machine's own byte order.
    WipedBuffer<rawSize> nativeScalar;
    std::copy(scalar.begin(), scalar.end(), nativeScalar.bytes.begin());
    if constexpr (std::endian::native == std::endian::little) {
        std::reverse(nativeScalar.bytes.begin(), nativeScalar.bytes.end());
    }
    // OSSL_PARAM wants a writable buffer even for texts it only reads.
    char curve[sizeof groupName];
    std::copy(std::begin(groupName), std::end(groupName), curve);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, curve, 0),
        OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, nativeScalar.bytes.data(),
                                nativeScalar.bytes.size()),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, encodedPoint.data(),
                                          encodedPoint.size()),
        OSSL_PARAM_construct_end(),
    };
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* made = nullptr;
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_KEYPAIR, params) != 1) {
        return Unexpected(openSSLError("Could not load the device signing key"));
    }
    std::string publicRaw(reinterpret_cast<const char*>(encodedPoint.data()) + 1, publicRawSize);
    return P256SigningKey(KeyHandle(made), std::move(publicRaw));
}

Expected<std::string, Error> P256SigningKey::rawRepresentation() const {
    BIGNUM* found = nullptr;
    if (EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_PRIV_KEY, &found) != 1) {
        return Unexpected(openSSLError("Could not read the device signing key"));
    }
    SecretNumber number(found);
    std::string raw(rawSize, '\0');
    if (BN_bn2binpad(number.get(), reinterpret_cast<unsigned char*>(raw.data()),
                     static_cast<int>(raw.size())) != static_cast<int>(rawSize)) {
        OPENSSL_cleanse(raw.data(), raw.size());
        return Unexpected(openSSLError("Could not read the device signing key"));
    }
    return raw;
}

Expected<std::string, Error> P256SigningKey::signature(std::string_view message) const {
    DigestContext context(EVP_MD_CTX_new());
    int maximum = EVP_PKEY_get_size(key_.get());
    if (!context || maximum <= 0 ||
        EVP_DigestSignInit_ex(context.get(), nullptr, "SHA256", nullptr, nullptr, key_.get(),
                              nullptr) != 1) {
        return Unexpected(openSSLError("Could not sign"));
    }
    std::string der(static_cast<std::size_t>(maximum), '\0');
    std::size_t length = der.size();
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        return Unexpected(openSSLError("Could not sign"));
    }
    der.resize(length);
    return der;
}

} // namespace tarnwick

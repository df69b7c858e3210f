#include "identity/P256PublicKey.h"

#include "identity/CryptoSupport.h"
#include "identity/P256SigningKey.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <array>

namespace tarnwick {

namespace {

using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

} // namespace

void P256PublicKey::KeyRelease::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

P256PublicKey::P256PublicKey(KeyHandle key) : key_(std::move(key)) {}

std::optional<P256PublicKey> P256PublicKey::fromRawRepresentation(std::string_view raw) {
    if (raw.size() != P256SigningKey::publicRawSize) {
        return std::nullopt;
    }
    std::array<unsigned char, 1 + P256SigningKey::publicRawSize> point = {};
    point[0] = 0x04;
    std::copy(raw.begin(), raw.end(), point.begin() + 1);
    char groupName[] = "prime256v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, groupName, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
        OSSL_PARAM_construct_end(),
    };
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* made = nullptr;
    // Import checks that the point lies on the curve.
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        discardOpenSSLErrors();
        return std::nullopt;
    }
    return P256PublicKey(KeyHandle(made));
}

bool P256PublicKey::isValidSignature(std::string_view der, std::string_view message) const {
    DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool valid = context &&
                 EVP_DigestVerifyInit_ex(context.get(), nullptr, "SHA256", nullptr, nullptr,
                                         key_.get(), nullptr) == 1 &&
                 EVP_DigestVerify(
                     context.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    discardOpenSSLErrors();
    return valid;
}

} // namespace tarnwick

#include "identity/SecretServiceKeychain.h"

#include <libsecret/secret.h>

namespace tarnwick {

namespace {

constexpr const char* contentType = "application/octet-stream";

// A failed libsecret call: the library's message, with a status that is never zero (several
// GLib domains use 0 for their generic failure).
KeychainError errorFrom(GError* error) {
    if (!error) {
        return KeychainError::fromStatus(-1);
    }
    std::int32_t status = error->code != 0 ? error->code : -1;
    KeychainError result = KeychainError::fromStatus(status, error->message ? error->message : "");
    g_error_free(error);
    return result;
}

struct GObjectRelease {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using ServiceHandle = std::unique_ptr<SecretService, GObjectRelease>;

struct HashTableRelease {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableRelease>;

struct ItemListRelease {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListRelease>;

struct ValueRelease {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using Value = std::unique_ptr<SecretValue, ValueRelease>;

Attributes attributesFor(const std::string& service, std::string_view account) {
    Attributes table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(table.get(), g_strdup("service"), g_strdup(service.c_str()));
    g_hash_table_insert(table.get(), g_strdup("account"),
                        g_strndup(account.data(), account.size()));
    return table;
}

Expected<ServiceHandle, KeychainError> connect() {
    GError* error = nullptr;
    ServiceHandle service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error));
    if (!service) {
        return Unexpected(errorFrom(error));
    }
    return service;
}

} // namespace

class SecretServiceKeychain::Schema {
public:
    explicit Schema(const std::string& name)
        : schema_(secret_schema_new(name.c_str(), SECRET_SCHEMA_NONE, "service",
                                    SECRET_SCHEMA_ATTRIBUTE_STRING, "account",
                                    SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr)) {}
    Schema(const Schema&) = delete;
    Schema& operator=(const Schema&) = delete;
    ~Schema() { secret_schema_unref(schema_); }

    const SecretSchema* get() const { return schema_; }

private:
    SecretSchema* schema_;
};

SecretServiceKeychain::SecretServiceKeychain(std::string service)
    : service_(std::move(service)), schema_(std::make_unique<Schema>(service_)) {}

SecretServiceKeychain::~SecretServiceKeychain() = default;

Expected<std::optional<std::string>, KeychainError>
SecretServiceKeychain::read(std::string_view account) {
    auto service = connect();
    if (!service) {
        return Unexpected(service.error());
    }
    Attributes attributes = attributesFor(service_, account);
    // Locked items are asked to be unlocked and are still listed when they stay locked, so that
    // a locked keyring is reported as a failure rather than taken for a missing item.
    auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK |
                                                SECRET_SEARCH_LOAD_SECRETS);
    GError* error = nullptr;
    ItemList items(secret_service_search_sync(service->get(), schema_->get(), attributes.get(),
                                              flags, nullptr, &error));
    if (error) {
        return Unexpected(errorFrom(error));
    }
    if (!items) {
        return std::optional<std::string>();
    }
    for (GList* entry = items.get(); entry; entry = entry->next) {
        Value value(secret_item_get_secret(SECRET_ITEM(entry->data)));
        if (value) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(value.get(), &length);
            return std::optional<std::string>(std::string(bytes, length));
        }
    }
    return Unexpected(KeychainError::fromStatus(SECRET_ERROR_IS_LOCKED,
                                                "The keyring that holds the item is locked."));
}

Expected<void, KeychainError> SecretServiceKeychain::save(std::string_view bytes,
                                                          std::string_view account) {
    auto service = connect();
    if (!service) {
        return Unexpected(service.error());
    }
    Attributes attributes = attributesFor(service_, account);
    std::string label = "Tarnwick Bridge " + std::string(account);
    const char* data = bytes.empty() ? "" : bytes.data();
    Value value(secret_value_new(data, static_cast<gssize>(bytes.size()), contentType));
    GError* error = nullptr;
    if (!secret_service_store_sync(service->get(), schema_->get(), attributes.get(),
                                   SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr,
                                   &error)) {
        return Unexpected(errorFrom(error));
    }
    return {};
}

} // namespace tarnwick

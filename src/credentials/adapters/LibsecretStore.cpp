#include "credentials/adapters/LibsecretStore.h"

#include <libsecret/secret.h>

#include <memory>

namespace parlando {

namespace {

// Matched by "service" and "account" only, so items made by other tools (or
// by another schema name) are found too. The name is the generic one
// secret-tool uses, so the items we create look exactly like its items.
const SecretSchema* schema() {
    static const SecretSchema s = [] {
        SecretSchema x{};
        x.name = "org.freedesktop.Secret.Generic";
        x.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        x.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        x.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return x;
    }();
    return &s;
}

struct GErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct ObjectUnref {
    void operator()(gpointer o) const { g_object_unref(o); }
};
using ServicePtr = std::unique_ptr<SecretService, ObjectUnref>;

struct HashUnref {
    void operator()(GHashTable* h) const { g_hash_table_unref(h); }
};
using Attributes = std::unique_ptr<GHashTable, HashUnref>;

struct ValueUnref {
    void operator()(SecretValue* v) const { secret_value_unref(v); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

struct ItemList {
    GList* list = nullptr;
    ~ItemList() { g_list_free_full(list, g_object_unref); }
};

// The strings must outlive the table; the table does not copy them.
Attributes attributesFor(const std::string& service, const std::string& account) {
    Attributes a(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(a.get(), const_cast<char*>("service"), const_cast<char*>(service.c_str()));
    g_hash_table_insert(a.get(), const_cast<char*>("account"), const_cast<char*>(account.c_str()));
    return a;
}

SecretStoreStatus lockedFailure() {
    return SecretStoreStatus::failure(SECRET_ERROR_IS_LOCKED, "the keyring holding this item is locked and was not unlocked");
}

// Turns a GLib error into our status, with words that tell a user what to do
// when the cause is a missing Secret Service or a missing session bus.
SecretStoreStatus failureFrom(const char* what, GError* raw) {
    ErrorPtr error(raw);
    if (!error) return SecretStoreStatus::failure(-1, std::string(what) + ": unknown error");
    std::string message = error->message ? error->message : "";
    std::string hint;
    if (g_dbus_error_is_remote_error(error.get())) {
        gchar* remote = g_dbus_error_get_remote_error(error.get());
        const std::string name = remote ? remote : "";
        g_free(remote);
        g_dbus_error_strip_remote_error(error.get());
        message = name + ": " + (error->message ? error->message : "");
        if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner")
            hint = "no Secret Service on the session bus; start gnome-keyring, KeePassXC or another Secret Service "
                   "provider";
    } else if (error->domain == G_DBUS_ERROR && error->code == G_DBUS_ERROR_SERVICE_UNKNOWN) {
        hint = "no Secret Service on the session bus; start gnome-keyring, KeePassXC or another Secret Service "
               "provider";
    }
    std::string description = std::string(what) + ": ";
    if (!hint.empty()) description += hint + " (" + message + ")";
    else description += message;
    return SecretStoreStatus::failure(error->code, description);
}

bool connectionClosed(SecretService* service) {
    GDBusConnection* c = g_dbus_proxy_get_connection(G_DBUS_PROXY(service));
    return c == nullptr || g_dbus_connection_is_closed(c);
}

// The process-wide proxy of the Secret Service on GLib's session-bus
// connection. That connection would end the whole process when the bus
// closes; a tray app outlives its bus instead, so that is switched off before
// libsecret first uses it. A closed connection stays GLib's until the default
// main context (the Qt loop) has run its notification: until then this
// reports the closed bus rather than building a proxy on it.
ServicePtr connect(SecretStoreStatus& status) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        status = failureFrom("cannot reach the D-Bus session bus", error);
        return nullptr;
    }
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    const bool closed = g_dbus_connection_is_closed(bus);
    g_object_unref(bus);
    if (closed) {
        secret_service_disconnect();
        status = SecretStoreStatus::failure(G_IO_ERROR_CLOSED,
                                            "cannot reach the D-Bus session bus: the connection to it was closed");
        return nullptr;
    }
    ServicePtr service(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error));
    if (service && connectionClosed(service.get())) {
        // A proxy left from a bus that has gone since; start over on the new one.
        service.reset();
        secret_service_disconnect();
        service.reset(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error));
    }
    if (!service) {
        status = failureFrom("cannot reach the Secret Service", error);
        return nullptr;
    }
    return service;
}

}  // namespace

void LibsecretStore::disconnect() { secret_service_disconnect(); }

SecretReadResult LibsecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    SecretStoreStatus status;
    ServicePtr svc = connect(status);
    if (!svc) return {status, {}};
    auto attributes = attributesFor(service, account);
    GError* error = nullptr;
    ItemList items{secret_service_search_sync(svc.get(), schema(), attributes.get(),
                                              static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK |
                                                                             SECRET_SEARCH_LOAD_SECRETS),
                                              nullptr, &error)};
    if (error) return {failureFrom("Secret Service search failed", error), {}};
    if (items.list == nullptr) return {SecretStoreStatus::missing(), {}};
    auto* item = static_cast<SecretItem*>(items.list->data);
    ValuePtr value(secret_item_get_secret(item));
    if (!value) {
        if (secret_item_get_locked(item)) return {lockedFailure(), {}};
        return {SecretStoreStatus::missing(), {}};
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return {SecretStoreStatus::success(), std::string(bytes ? bytes : "", bytes ? length : 0)};
}

SecretStoreStatus LibsecretStore::update(const std::string& service, const std::string& account,
                                         const std::string& value) {
    std::lock_guard lock(mutex_);
    SecretStoreStatus status;
    ServicePtr svc = connect(status);
    if (!svc) return status;
    auto attributes = attributesFor(service, account);
    GError* error = nullptr;
    // Every match gets the new value, so whichever one a later lookup picks
    // (ours or secret-tool's) holds the same text.
    ItemList items{secret_service_search_sync(
        svc.get(), schema(), attributes.get(), static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK),
        nullptr, &error)};
    if (error) return failureFrom("Secret Service search failed", error);
    if (items.list == nullptr) return SecretStoreStatus::missing();
    ValuePtr secret(secret_value_new(value.data(), static_cast<gssize>(value.size()), "text/plain"));
    for (GList* l = items.list; l != nullptr; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        if (secret_item_get_locked(item)) return lockedFailure();
        if (!secret_item_set_secret_sync(item, secret.get(), nullptr, &error))
            return failureFrom("Secret Service update failed", error);
    }
    return SecretStoreStatus::success();
}

SecretStoreStatus LibsecretStore::add(const std::string& service, const std::string& account,
                                      const std::string& value) {
    std::lock_guard lock(mutex_);
    SecretStoreStatus status;
    ServicePtr svc = connect(status);
    if (!svc) return status;
    auto attributes = attributesFor(service, account);
    ValuePtr secret(secret_value_new(value.data(), static_cast<gssize>(value.size()), "text/plain"));
    // The label is what keyring managers list; it names the item, never its value.
    const std::string label = service + "/" + account;
    GError* error = nullptr;
    if (!secret_service_store_sync(svc.get(), schema(), attributes.get(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                   secret.get(), nullptr, &error))
        return failureFrom("Secret Service store failed", error);
    return SecretStoreStatus::success();
}

SecretStoreStatus LibsecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    SecretStoreStatus status;
    ServicePtr svc = connect(status);
    if (!svc) return status;
    auto attributes = attributesFor(service, account);
    GError* error = nullptr;
    const gboolean removed = secret_service_clear_sync(svc.get(), schema(), attributes.get(), nullptr, &error);
    if (error) return failureFrom("Secret Service delete failed", error);
    return removed ? SecretStoreStatus::success() : SecretStoreStatus::missing();
}

}  // namespace parlando

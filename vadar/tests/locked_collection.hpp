#pragma once
// A collection of the test keyring beside its default one, which a test locks and unlocks without a prompt:
// GNOME Keyring (the Secret Service scripts/with-keyring starts) takes a collection's password in a call of its
// own. An item put there reads as locked while the collection is, as on a desktop whose keyring the user has
// not unlocked, while every other test's items, in the default collection, stay readable.
//
// Every call has a deadline and none runs a prompt: a call that would need the user fails the test instead.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <string>

#include <keychain/keychain_store.hpp>

namespace vadar::testing {

class LockedCollection {
 public:
  LockedCollection() {
    GError* error = nullptr;
    service_ = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service_) {
      ADD_FAILURE() << "no Secret Service: " << (error ? error->message : "");
      if (error) g_error_free(error);
      return;
    }
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string("vadar tests, locked on demand"));
    GVariant* reply = call(kPath, kGnomeKeyring, "CreateWithMasterPassword",
                           g_variant_new("(a{sv}@(oayays))", &properties, password()), "(o)");
    if (!reply) return;
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    path_ = path;
    g_variant_unref(reply);
  }
  ~LockedCollection() {
    if (!path_.empty()) {
      unlock();
      if (GVariant* reply = call(path_, "org.freedesktop.Secret.Collection", "Delete", nullptr, "(o)"))
        g_variant_unref(reply);
    }
    if (service_) g_object_unref(service_);
  }
  LockedCollection(const LockedCollection&) = delete;
  LockedCollection& operator=(const LockedCollection&) = delete;

  bool made() const { return !path_.empty(); }

  // Puts `text` under `key` of `store` here, as KeychainStore would have written it (its schema and attributes).
  void put(const keychain::KeychainStore& store, const std::string& key, const std::string& text) {
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "xdg:schema", "com.tolvaran.KeychainStore");
    g_variant_builder_add(&attributes, "{ss}", "service", store.service().c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", key.c_str());
    g_variant_builder_add(&attributes, "{ss}", "access_group", store.accessGroup().value_or("").c_str());
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Label", g_variant_new_string(key.c_str()));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Attributes",
                          g_variant_builder_end(&attributes));
    SecretValue* value = secret_value_new(text.data(), static_cast<gssize>(text.size()), "text/plain");
    GVariant* secret = secret_service_encode_dbus_secret(service_, value);
    secret_value_unref(value);
    if (GVariant* reply = call(path_, "org.freedesktop.Secret.Collection", "CreateItem",
                               g_variant_new("(a{sv}@(oayays)b)", &properties, secret, TRUE), "(oo)"))
      g_variant_unref(reply);
  }

  void lock() {
    const gchar* paths[] = {path_.c_str(), nullptr};
    if (GVariant* reply = call(kPath, "org.freedesktop.Secret.Service", "Lock",
                               g_variant_new("(^ao)", paths), "(aoo)"))
      g_variant_unref(reply);
  }
  void unlock() {
    if (GVariant* reply = call(kPath, kGnomeKeyring, "UnlockWithMasterPassword",
                               g_variant_new("(o@(oayays))", path_.c_str(), password()), nullptr))
      g_variant_unref(reply);
  }

 private:
  static constexpr const char* kPath = "/org/freedesktop/secrets";
  static constexpr const char* kGnomeKeyring = "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

  GVariant* password() {
    SecretValue* value = secret_value_new("vadar-tests", -1, "text/plain");
    GVariant* encoded = secret_service_encode_dbus_secret(service_, value);
    secret_value_unref(value);
    return encoded;
  }

  // On the connection that holds the service's session: a secret is only understood there.
  GVariant* call(const std::string& object, const char* interface, const char* method, GVariant* parameters,
                 const char* replyType) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(G_DBUS_PROXY(service_)), g_dbus_proxy_get_name(G_DBUS_PROXY(service_)),
        object.c_str(), interface, method, parameters, replyType ? G_VARIANT_TYPE(replyType) : nullptr,
        G_DBUS_CALL_FLAGS_NONE, /*timeout_msec=*/10000, nullptr, &error);
    if (!reply) {
      ADD_FAILURE() << method << " failed: " << (error ? error->message : "");
      if (error) g_error_free(error);
    }
    return reply;
  }

  SecretService* service_ = nullptr;
  std::string path_;
};

}  // namespace vadar::testing

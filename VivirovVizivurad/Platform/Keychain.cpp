#include "VivirovVizivurad/Platform/Keychain.h"

#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

// A store that never answers (a locked keyring waiting on an invisible
// prompt, a wedged daemon) must not hang the caller.
constexpr auto kCallLimit = std::chrono::seconds(3);

const SecretSchema* schema() {
    static const SecretSchema s = {
        "com.dudive.vivirov.apivault",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SecretSchemaAttributeType(0)},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &s;
}

// Runs one blocking libsecret call with a cancellable that a watchdog fires
// when the limit passes.
template <class Call>
auto withTimeLimit(Call call) {
    GCancellable* cancellable = g_cancellable_new();
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, kCallLimit, [&] { return done; })) g_cancellable_cancel(cancellable);
    });
    auto result = call(cancellable);
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    cv.notify_all();
    watchdog.join();
    g_object_unref(cancellable);
    return result;
}

void logFailure(const char* operation, const std::string& account, GError* error) {
    logLine(std::string("[keychain] ") + operation + " \"" + account +
            "\" failed: no Secret Service answered (" + (error ? error->message : "unknown error") +
            "); keys are not available");
}

} // namespace

std::optional<std::string> Keychain::read(const std::string& account) {
    GError* error = nullptr;
    gchar* secret = withTimeLimit([&](GCancellable* c) {
        return secret_password_lookup_sync(schema(), c, &error, "service", service, "account",
                                           account.c_str(), nullptr);
    });
    if (error) {
        logFailure("read", account, error);
        g_error_free(error);
        return std::nullopt;
    }
    if (!secret) return std::nullopt; // no item
    std::string value(secret);
    secret_password_free(secret);
    if (!text::isValidUTF8(value)) return std::nullopt;
    return value;
}

bool Keychain::save(const std::string& account, const std::string& value) {
    if (!text::isValidUTF8(value)) return false;
    GError* error = nullptr;
    const std::string label = std::string(service) + " / " + account;
    // Storing with the same attributes updates the existing item in place,
    // so the old secret survives a failed write.
    gboolean ok = withTimeLimit([&](GCancellable* c) {
        return secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                          value.c_str(), c, &error, "service", service, "account",
                                          account.c_str(), nullptr);
    });
    if (error) {
        logFailure("save", account, error);
        g_error_free(error);
        return false;
    }
    return ok;
}

bool Keychain::remove(const std::string& account) {
    GError* error = nullptr;
    withTimeLimit([&](GCancellable* c) {
        return secret_password_clear_sync(schema(), c, &error, "service", service, "account",
                                          account.c_str(), nullptr);
    });
    if (error) {
        logFailure("delete", account, error);
        g_error_free(error);
        return false;
    }
    return true; // cleared, or there was nothing to clear
}

} // namespace vivirov

#pragma once
// Whether a Secret Service answers on this session bus (asked once per test
// binary). Key-store tests skip without one; `make test` provides one.
#include <libsecret/secret.h>

namespace vivirov::test {

inline bool secretServiceAnswers() {
    static const bool available = [] {
        GError* error = nullptr;
        SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
        if (error) g_error_free(error);
        if (service) g_object_unref(service);
        return service != nullptr;
    }();
    return available;
}

} // namespace vivirov::test

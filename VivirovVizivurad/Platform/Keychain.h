#pragma once
#include <optional>
#include <string>

namespace vivirov {

// The app's secrets (provider API keys, the compatible slot's base URL, the
// model hub token) as one secret per account of the service
// "com.dudive.vivirov.apivault" in the desktop's Secret Service.
// Stateless; every call goes to the store and may be made from any thread.
// When no Secret Service answers (no session bus, no daemon, a store that
// hangs), read gives none and save/delete give false within a few seconds,
// with one log line; nothing throws.
class Keychain {
public:
    static constexpr const char* service = "com.dudive.vivirov.apivault";

    static std::optional<std::string> read(const std::string& account);
    // Replaces the account's secret in one step: a failed save keeps the old one.
    static bool save(const std::string& account, const std::string& value);
    // Deletes the account's secret (`delete` is a keyword). True when the
    // account has no secret afterwards (also when it had none).
    static bool remove(const std::string& account);
};

} // namespace vivirov

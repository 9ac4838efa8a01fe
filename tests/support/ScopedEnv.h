#pragma once
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vivirov::test {

// Sets (or unsets, with none) environment variables for one scope and puts
// the previous values back afterwards.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const char* name, std::optional<std::string> value) { set(name, std::move(value)); }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) apply(it->first.c_str(), it->second);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    ScopedEnv& set(const char* name, std::optional<std::string> value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        apply(name, value);
        return *this;
    }

private:
    static void apply(const char* name, const std::optional<std::string>& value) {
        if (value) setenv(name, value->c_str(), 1);
        else unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace vivirov::test

#include "common/engine_env.h"

#include <cstdlib>
#include <mutex>

namespace vm {

namespace {

std::mutex& env_mutex() {
    static std::mutex mu;
    return mu;
}

} // namespace

std::optional<std::string> env_value(const char* name) {
    std::lock_guard lock(env_mutex());
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
}

bool env_switch_on(const char* name) {
    const auto v = env_value(name);
    return v && !v->empty() && (*v)[0] != '0';
}

bool env_starts_with_1(const char* name) {
    const auto v = env_value(name);
    return v && !v->empty() && (*v)[0] == '1';
}

void env_set(const char* name, const char* value, bool overwrite) {
    std::lock_guard lock(env_mutex());
    setenv(name, value, overwrite ? 1 : 0);
}

} // namespace vm

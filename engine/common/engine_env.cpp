#include "common/engine_env.h"

#include <cstdlib>
#include <mutex>

namespace vm::env {
namespace {

std::mutex& env_mutex() {
    static std::mutex mu;
    return mu;
}

} // namespace

std::optional<std::string> get(const char* name) {
    std::lock_guard lock(env_mutex());
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
}

bool on(const char* name) {
    const auto v = get(name);
    return v && !v->empty() && (*v)[0] != '0';
}

void set(const char* name, const char* value, bool overwrite) {
    std::lock_guard lock(env_mutex());
    ::setenv(name, value, overwrite ? 1 : 0);
}

} // namespace vm::env

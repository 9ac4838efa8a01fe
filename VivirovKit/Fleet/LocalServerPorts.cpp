#include "VivirovKit/Fleet/LocalServerPorts.h"

#include <mutex>

namespace vivirov {

namespace {
std::mutex& tableMutex() {
    static std::mutex m;
    return m;
}
std::map<int, int>& redirections() {
    static std::map<int, int> table;
    return table;
}
} // namespace

int LocalServerPorts::resolve(int usualPort) {
    std::lock_guard lock(tableMutex());
    auto it = redirections().find(usualPort);
    return it == redirections().end() ? usualPort : it->second;
}

LocalServerPorts::ScopedOverride::ScopedOverride(std::map<int, int> redirections_) {
    std::lock_guard lock(tableMutex());
    previous_ = redirections();
    for (const auto& [from, to] : redirections_) redirections()[from] = to;
}

LocalServerPorts::ScopedOverride::~ScopedOverride() {
    std::lock_guard lock(tableMutex());
    redirections() = previous_;
}

} // namespace vivirov

#pragma once
#include <map>

namespace vivirov {

// Where the loopback model servers are reached. Every server is named by its
// usual port; texts, keys and server arguments keep that number, while the
// connections and listener look-ups go to the port it resolves to. Tests
// point the usual ports at ports of their own, so suites run side by side and
// never touch (or signal) a real server.
class LocalServerPorts {
public:
    static int resolve(int usualPort);

    // Redirects ports for its lifetime; the previous redirections return after.
    class ScopedOverride {
    public:
        explicit ScopedOverride(std::map<int, int> redirections);
        ~ScopedOverride();
        ScopedOverride(const ScopedOverride&) = delete;
        ScopedOverride& operator=(const ScopedOverride&) = delete;

    private:
        std::map<int, int> previous_;
    };
};

} // namespace vivirov

#pragma once
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QSocketNotifier;
class QFileSystemWatcher;

namespace vivirov {

// Tells the GUI thread when the system runs short of memory. `critical` is
// true for the severe level.
class MemoryPressureSource {
public:
    using Handler = std::function<void(bool critical)>;
    virtual ~MemoryPressureSource() = default;
    // Starts delivering events on the GUI thread; false when nothing can be watched.
    virtual bool start(Handler handler) = 0;
};

// The kernel's pressure stall triggers, woken by POLLPRI: one for the
// warning level ("some" stall) and one for the critical level ("full"
// stall). Reads /proc/pressure/memory, else the process cgroup's
// memory.pressure; when neither takes a trigger, watches the cgroup's
// memory.events counters (high: warning; max, oom: critical).
class LinuxMemoryPressure final : public QObject, public MemoryPressureSource {
    Q_OBJECT
public:
    struct Paths {
        QString pressure;        // /proc/pressure/memory
        QString cgroupPressure;  // <cgroup>/memory.pressure
        QString cgroupEvents;    // <cgroup>/memory.events
    };
    // The paths for this process.
    static Paths systemPaths();

    explicit LinuxMemoryPressure(Paths paths, QObject* parent = nullptr);
    ~LinuxMemoryPressure() override;
    bool start(Handler handler) override;

    // "high 3\nmax 0\n..." → counters by name.
    static std::map<std::string, long long> parseEvents(const QByteArray& text);
    // The level a change of the counters stands for, if any.
    static std::optional<bool> eventLevel(const std::map<std::string, long long>& before,
                                          const std::map<std::string, long long>& after);

private:
    bool armTriggers(const QString& path);
    bool watchEvents();
    void readEvents();

    Paths paths_;
    Handler handler_;
    int fds_[2] = {-1, -1};
    QSocketNotifier* notifiers_[2] = {nullptr, nullptr};
    QFileSystemWatcher* watcher_ = nullptr;
    std::map<std::string, long long> lastEvents_;
};

} // namespace vivirov

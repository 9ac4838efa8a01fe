#include "VivirovVizivurad/App/MemoryPressureSource.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QSocketNotifier>

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace vivirov {
namespace {

// Stalled for 150 ms (some tasks) or 100 ms (all tasks) within one second.
constexpr const char* kTriggers[2] = {"some 150000 1000000", "full 100000 1000000"};

QString ownCgroup() {
    QFile file(QStringLiteral("/proc/self/cgroup"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith("0::")) return QStringLiteral("/sys/fs/cgroup") + QString::fromUtf8(line.mid(3));
    return {};
}

} // namespace

LinuxMemoryPressure::Paths LinuxMemoryPressure::systemPaths() {
    const QString cgroup = ownCgroup();
    return {QStringLiteral("/proc/pressure/memory"),
            cgroup.isEmpty() ? QString() : cgroup + QStringLiteral("/memory.pressure"),
            cgroup.isEmpty() ? QString() : cgroup + QStringLiteral("/memory.events")};
}

LinuxMemoryPressure::LinuxMemoryPressure(Paths paths, QObject* parent) : QObject(parent), paths_(std::move(paths)) {}

LinuxMemoryPressure::~LinuxMemoryPressure() {
    for (int& fd : fds_)
        if (fd >= 0) ::close(fd);
}

bool LinuxMemoryPressure::start(Handler handler) {
    handler_ = std::move(handler);
    return armTriggers(paths_.pressure) || armTriggers(paths_.cgroupPressure) || watchEvents();
}

bool LinuxMemoryPressure::armTriggers(const QString& path) {
    if (path.isEmpty()) return false;
    int fds[2] = {-1, -1};
    for (int level = 0; level < 2; ++level) {
        fds[level] = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        const size_t length = std::strlen(kTriggers[level]) + 1;
        if (fds[level] < 0 || ::write(fds[level], kTriggers[level], length) != static_cast<ssize_t>(length)) {
            for (int fd : fds)
                if (fd >= 0) ::close(fd);
            return false;
        }
    }
    for (int level = 0; level < 2; ++level) {
        fds_[level] = fds[level];
        notifiers_[level] = new QSocketNotifier(fds[level], QSocketNotifier::Exception, this);
        connect(notifiers_[level], &QSocketNotifier::activated, this, [this, level] {
            if (handler_) handler_(level == 1);
        });
    }
    return true;
}

bool LinuxMemoryPressure::watchEvents() {
    if (paths_.cgroupEvents.isEmpty() || !QFile::exists(paths_.cgroupEvents)) return false;
    QFile file(paths_.cgroupEvents);
    if (!file.open(QIODevice::ReadOnly)) return false;
    lastEvents_ = parseEvents(file.readAll());
    watcher_ = new QFileSystemWatcher(this);
    if (!watcher_->addPath(paths_.cgroupEvents)) return false;
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, [this] { readEvents(); });
    return true;
}

void LinuxMemoryPressure::readEvents() {
    QFile file(paths_.cgroupEvents);
    if (!file.open(QIODevice::ReadOnly)) return;
    auto now = parseEvents(file.readAll());
    const auto level = eventLevel(lastEvents_, now);
    lastEvents_ = std::move(now);
    // Some writers replace the file; keep watching the path.
    if (!watcher_->files().contains(paths_.cgroupEvents)) watcher_->addPath(paths_.cgroupEvents);
    if (level && handler_) handler_(*level);
}

std::map<std::string, long long> LinuxMemoryPressure::parseEvents(const QByteArray& text) {
    std::map<std::string, long long> counters;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool ok = false;
        if (fields.size() == 2) {
            const long long value = fields[1].toLongLong(&ok);
            if (ok) counters[fields[0].toStdString()] = value;
        }
    }
    return counters;
}

std::optional<bool> LinuxMemoryPressure::eventLevel(const std::map<std::string, long long>& before,
                                                    const std::map<std::string, long long>& after) {
    auto grew = [&](const char* name) {
        auto now = after.find(name);
        if (now == after.end()) return false;
        auto then = before.find(name);
        return now->second > (then == before.end() ? 0 : then->second);
    };
    if (grew("max") || grew("oom")) return true;
    if (grew("high")) return false;
    return std::nullopt;
}

} // namespace vivirov

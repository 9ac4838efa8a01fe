#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"

#include <QMetaObject>
#include <QPointer>

namespace vivirov {

SwarmOrchestrator& SwarmOrchestrator::shared() {
    static auto* instance = new SwarmOrchestrator();
    return *instance;
}

SwarmOrchestrator::SwarmOrchestrator(Clock* clock, QObject* parent) : QObject(parent), stream_(clock) {}

void SwarmOrchestrator::noteToken(std::string_view piece) {
    if (auto drives = stream_.note(piece)) {
        QMetaObject::invokeMethod(this, [this, d = *drives] { publish(d); }, Qt::QueuedConnection);
    }
}

void SwarmOrchestrator::setRamMB(double megabytes) {
    if (megabytes == ramMB_) return;
    ramMB_ = megabytes;
    emit ramMBChanged();
}

void SwarmOrchestrator::setStatus(const QString& status) {
    if (status == status_) return;
    status_ = status;
    emit statusChanged();
}

void SwarmOrchestrator::endTurn() {
    stream_.reset();
    QMetaObject::invokeMethod(this, [this] { publish({0, 0, 0, 0, 0}); }, Qt::QueuedConnection);
}

void SwarmOrchestrator::publish(const StreamMeter::Drives& drives) {
    if (drives == drives_) return;
    drives_ = drives;
    emit drivesChanged();
}

void SwarmOrchestrator::setSwappedMB(double megabytes) {
    if (megabytes == swappedMB_) return;
    swappedMB_ = megabytes;
    emit swappedMBChanged();
}

} // namespace vivirov

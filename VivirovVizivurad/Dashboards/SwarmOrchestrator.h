#pragma once
#include <QObject>
#include <QString>
#include <string_view>

#include "VivirovVizivurad/Dashboards/StreamMeter.h"

namespace vivirov {

// The process-wide stream telemetry the dashboards draw: the token rate and
// the avatar's drives, published on the GUI thread from the stream meter.
class SwarmOrchestrator : public QObject {
    Q_OBJECT
    Q_PROPERTY(double tps READ tps NOTIFY drivesChanged)
    Q_PROPERTY(double pseudoEntropy READ pseudoEntropy NOTIFY drivesChanged)
    Q_PROPERTY(double avatarScale READ avatarScale NOTIFY drivesChanged)
    Q_PROPERTY(double avatarPitch READ avatarPitch NOTIFY drivesChanged)
    Q_PROPERTY(double avatarYaw READ avatarYaw NOTIFY drivesChanged)
    Q_PROPERTY(double ramMB READ ramMB WRITE setRamMB NOTIFY ramMBChanged)
    Q_PROPERTY(QString status READ status WRITE setStatus NOTIFY statusChanged)
    Q_PROPERTY(double swappedMB READ swappedMB WRITE setSwappedMB NOTIFY swappedMBChanged)

public:
    // Lives on the GUI thread (create it there first) until the process ends.
    static SwarmOrchestrator& shared();
    explicit SwarmOrchestrator(Clock* clock = nullptr, QObject* parent = nullptr);

    StreamMeter& stream() { return stream_; }

    // Any thread: feeds the meter; drives it hands back are published on
    // the GUI thread.
    void noteToken(std::string_view piece);
    // Any thread: clears the meter, then zeroes the published values.
    void endTurn();

    double tps() const { return drives_.tps; }
    double pseudoEntropy() const { return drives_.entropy; }
    double avatarScale() const { return drives_.scale; }
    double avatarPitch() const { return drives_.pitch; }
    double avatarYaw() const { return drives_.yaw; }

    // Resident memory in decimal megabytes, sampled when the window shows.
    double ramMB() const { return ramMB_; }
    void setRamMB(double megabytes);
    // A one-line note for the dashboards ("memory pressure — caches trimmed").
    QString status() const { return status_; }
    void setStatus(const QString& status);
    // Megabytes the last swarm paging diagnostic reported paged out; 0 until it runs.
    double swappedMB() const { return swappedMB_; }
    void setSwappedMB(double megabytes);

signals:
    void drivesChanged();
    void ramMBChanged();
    void statusChanged();
    void swappedMBChanged();

private:
    void publish(const StreamMeter::Drives& drives);

    StreamMeter stream_;
    StreamMeter::Drives drives_{0, 0, 0, 0, 0};
    double ramMB_ = 0;
    QString status_;
    double swappedMB_ = 0;
};

} // namespace vivirov

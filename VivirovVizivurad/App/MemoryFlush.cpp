#include "VivirovVizivurad/App/MemoryFlush.h"

#include <QPointer>
#include <QWebEngineProfile>

#include <cstdio>

#include "VivirovVizivurad/Appearance/ShaderCache.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"

namespace vivirov {

MemoryFlush& MemoryFlush::shared() {
    static MemoryFlush* flush = new MemoryFlush(
        [] { return std::make_unique<LinuxMemoryPressure>(LinuxMemoryPressure::systemPaths()); },
        // The web views' memory and disk caches; the removal finishes on its own.
        [] { QWebEngineProfile::defaultProfile()->clearHttpCache(); }, AgentActivityModel::shared(),
        SwarmOrchestrator::shared(), ShaderCache::shared());
    return *flush;
}

MemoryFlush::MemoryFlush(SourceFactory makeSource, std::function<void()> dropWebCaches, AgentActivityModel& activity,
                         SwarmOrchestrator& swarm, ShaderCache& shaders, QObject* parent)
    : QObject(parent), makeSource_(std::move(makeSource)), dropWebCaches_(std::move(dropWebCaches)),
      activity_(activity), swarm_(swarm), shaders_(shaders) {}

MemoryFlush::~MemoryFlush() = default;

void MemoryFlush::install() {
    if (source_) return;
    source_ = makeSource_();
    QPointer<MemoryFlush> self(this);
    // Without a pressure source the app simply never flushes.
    source_->start([self](bool critical) {
        if (self) self->flush(critical);
    });
}

void MemoryFlush::flush(bool critical) {
    if (dropWebCaches_) dropWebCaches_();
    // The app keeps no process-wide URL response cache: its HTTP goes through
    // per-request clients, so there is nothing further to drop for it.
    shaders_.clear();
    activity_.trimHistory(keptHistory);
    std::fprintf(stderr, "[memory-flush] pressure=%s \u2014 caches trimmed\n", critical ? "critical" : "warning");
    std::fflush(stderr);
    if (critical) swarm_.setStatus(kCriticalStatus);
}

} // namespace vivirov

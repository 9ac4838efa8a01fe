#pragma once
#include <QObject>

#include <functional>
#include <memory>

#include "VivirovVizivurad/App/MemoryPressureSource.h"

namespace vivirov {

class AgentActivityModel;
class ShaderCache;
class SwarmOrchestrator;

// Drops the app's discardable caches on memory pressure: web content caches,
// compiled shaders and all but the newest 50 activity entries, then logs
// one line; a critical event also notes it in the swarm status.
class MemoryFlush : public QObject {
    Q_OBJECT
public:
    using SourceFactory = std::function<std::unique_ptr<MemoryPressureSource>()>;
    static constexpr size_t keptHistory = 50;
    static inline const QString kCriticalStatus = QStringLiteral("memory pressure \u2014 caches trimmed");

    // Over the process-wide models and the system's pressure source.
    static MemoryFlush& shared();

    MemoryFlush(SourceFactory makeSource, std::function<void()> dropWebCaches, AgentActivityModel& activity,
                SwarmOrchestrator& swarm, ShaderCache& shaders, QObject* parent = nullptr);
    ~MemoryFlush() override;

    // Starts listening; a second call does nothing.
    void install();
    bool isInstalled() const { return source_ != nullptr; }

private:
    void flush(bool critical);

    SourceFactory makeSource_;
    std::function<void()> dropWebCaches_;
    AgentActivityModel& activity_;
    SwarmOrchestrator& swarm_;
    ShaderCache& shaders_;
    std::unique_ptr<MemoryPressureSource> source_;
};

} // namespace vivirov

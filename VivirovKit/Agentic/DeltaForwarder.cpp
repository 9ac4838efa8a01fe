#include "VivirovKit/Agentic/DeltaForwarder.h"

#include "VivirovKit/Support/Text.h"

namespace vivirov {

DeltaForwarder::DeltaForwarder(std::weak_ptr<AgenticUISink> sink) : sink_(std::move(sink)) {
    thread_ = std::thread([this] { run(); });
}

DeltaForwarder::~DeltaForwarder() { finish(); }

void DeltaForwarder::push(const StreamDelta& delta) {
    // Only deltas the UI shows are queued.
    if (std::holds_alternative<StreamDelta::Reasoning>(delta.value) ||
        std::holds_alternative<StreamDelta::ToolCall>(delta.value))
        return;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        queue_.push_back(delta);
    }
    cv_.notify_one();
}

void DeltaForwarder::finish() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void DeltaForwarder::deliver(AgenticUISink& sink, const StreamDelta& delta) {
    std::visit(
        [&](const auto& d) {
            using T = std::decay_t<decltype(d)>;
            if constexpr (std::is_same_v<T, StreamDelta::Text>) {
                sink.surfaceText(d.text);
            } else if constexpr (std::is_same_v<T, StreamDelta::ToolArgProgress>) {
                sink.surfaceToolStart(d.name + " · " + text::graphemePrefix(d.partialArgs, 80));
            } else if constexpr (std::is_same_v<T, StreamDelta::ContextSummary>) {
                sink.surfaceText("\n" + d.text + "\n");
            }
        },
        delta.value);
}

void DeltaForwarder::run() {
    for (;;) {
        StreamDelta delta;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return closed_ || !queue_.empty(); });
            if (queue_.empty()) return;
            delta = std::move(queue_.front());
            queue_.pop_front();
        }
        if (auto sink = sink_.lock()) deliver(*sink, delta);
    }
}

} // namespace vivirov

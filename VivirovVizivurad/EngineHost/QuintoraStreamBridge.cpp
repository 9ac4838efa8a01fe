#include "VivirovVizivurad/EngineHost/QuintoraStreamBridge.h"

namespace vivirov {

QuintoraStreamBridge::QuintoraStreamBridge(std::shared_ptr<StreamCoalescer> coalescer)
    : coalescer_(std::move(coalescer)) {}

void QuintoraStreamBridge::begin(const UUID& target, int epoch) {
    {
        std::lock_guard lock(mutex_);
        epoch_ = epoch;
        // Streams still open stay bound to their own turn; only their
        // carried bytes go.
        for (auto& [agent, stream] : streams_) stream.assembler = UTF8StreamAssembler();
    }
    coalescer_->begin(target, epoch);
}

QuintoraStreamBridge::Ingested QuintoraStreamBridge::ingestLocked(uint32_t agentID, const uint8_t* bytes,
                                                                  std::ptrdiff_t len, bool isDone) {
    auto [it, fresh] = streams_.try_emplace(agentID);
    if (fresh) it->second.epoch = epoch_;
    Ingested out;
    out.epoch = it->second.epoch;
    if (bytes != nullptr && len > 0) out.text = it->second.assembler.consume(bytes, len);
    if (isDone) {
        out.text += it->second.assembler.flush();
        streams_.erase(it);
    }
    return out;
}

void QuintoraStreamBridge::deliver(uint32_t agentID, const uint8_t* bytes, std::ptrdiff_t len, bool isDone) {
    Ingested in;
    {
        std::lock_guard lock(mutex_);
        in = ingestLocked(agentID, bytes, len, isDone);
    }
    if (!in.text.empty()) coalescer_->append(in.text, in.epoch);
}

} // namespace vivirov

extern "C" void quintoraBytesTrampoline(uint32_t agentID, const uint8_t* bytes, uint16_t len, bool isFinal,
                                        void* user) {
    if (user == nullptr) return;
    static_cast<vivirov::QuintoraStreamBridge*>(user)->deliver(agentID, bytes, len, isFinal);
}

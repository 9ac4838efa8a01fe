#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "VivirovKit/Providers/UTF8StreamAssembler.h"
#include "VivirovKit/Support/UUID.h"
#include "VivirovVizivurad/EngineHost/StreamCoalescer.h"

namespace vivirov {

// Turns the engine's raw byte pieces into whole UTF-8 text per agent and
// appends it to a StreamCoalescer. Each agent's stream belongs to the turn
// that was current when its first piece arrived: pieces of a stream begun in
// an earlier turn keep that turn's epoch, so the coalescer drops them instead
// of putting the old turn's tail into the new message.
class QuintoraStreamBridge {
public:
    explicit QuintoraStreamBridge(std::shared_ptr<StreamCoalescer> coalescer);

    // Opens a turn: carried partial characters are dropped and the
    // coalescer is aimed at `target` for `epoch`.
    void begin(const UUID& target, int epoch);
    // One piece of an agent's stream; `isDone` ends the stream, flushing what
    // it still carries (incomplete bytes as U+FFFD). Any thread.
    void deliver(uint32_t agentID, const uint8_t* bytes, std::ptrdiff_t len, bool isDone);

    const std::shared_ptr<StreamCoalescer>& coalescer() const { return coalescer_; }

private:
    struct AgentStream {
        UTF8StreamAssembler assembler;
        int epoch = 0;
    };
    struct Ingested {
        std::string text;
        int epoch = 0;
    };
    Ingested ingestLocked(uint32_t agentID, const uint8_t* bytes, std::ptrdiff_t len, bool isDone);

    const std::shared_ptr<StreamCoalescer> coalescer_;
    std::mutex mutex_;
    int epoch_ = 1;
    std::map<uint32_t, AgentStream> streams_;
};

} // namespace vivirov

// The engine's token callback: registered with the second-generation engine
// together with a QuintoraStreamBridge* as `user`, which the registering
// owner keeps alive while the engine can call back.
extern "C" void quintoraBytesTrampoline(uint32_t agentID, const uint8_t* bytes, uint16_t len, bool isFinal,
                                        void* user);

// The transaction manager must take any generated text in any piece sizes and
// any run of verdicts: no crash, a snapshot is never taken while another is
// held, every run ends idle with its session ended, and no block is lost.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Agentic/InferenceTransactionManager.h"
#include "VivirovKit/Verification/ScriptedVerifier.h"

namespace {

using namespace vivirov;

class ReplaySession : public SessionBridging {
public:
    std::vector<std::string> pieces;
    size_t next = 0;
    bool holding = false;
    int ends = 0;

    bool beginSession(const std::string&, int32_t, float, float, uint32_t) override { return true; }
    Decoded decodeNext() override {
        if (next == pieces.size()) return {{}, true};
        return {pieces[next++], false};
    }
    int32_t takeSnapshot() override {
        if (holding) __builtin_trap();
        holding = true;
        return 7;
    }
    void rollback(int32_t to) override {
        if (!holding || to != 7) __builtin_trap();
    }
    void injectText(const std::string&) override {}
    void releaseSnapshot() override { holding = false; }
    void endSession() override {
        if (holding) __builtin_trap();
        ++ends;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t pieceSize = 1 + data[0] % 16;
    std::vector<bool> verdicts;
    for (int bit = 0; bit < 8; ++bit) verdicts.push_back((data[1] >> bit) & 1);
    std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

    auto session = std::make_shared<ReplaySession>();
    for (size_t i = 0; i < text.size(); i += pieceSize) session->pieces.emplace_back(text.substr(i, pieceSize));
    size_t fencesIn = 0;
    for (size_t at = text.find("```"); at != std::string_view::npos; at = text.find("```", at + 3)) ++fencesIn;

    size_t fencesOut = 0;
    InferenceTransactionManager manager(
        session, std::make_shared<ScriptedVerifier>(verdicts, "penalty"), data[0] % 3,
        [&](const std::string& out) {
            for (size_t at = out.find("```"); at != std::string::npos; at = out.find("```", at + 3)) ++fencesOut;
        },
        nullptr, [](const std::string& json) { return json; });
    manager.run("p", 64, 0.5f, 0.9f, 1);

    if (session->ends != 1) __builtin_trap();
    if (manager.state() != InferenceTransactionManager::TransactionState::idle()) __builtin_trap();
    // Rejected attempts are dropped and an unclosed block is closed, so only
    // a generation without retries keeps its fence count or adds one.
    if (fencesOut == 0 && fencesIn > 0 && text.find("<tool_call>") == std::string_view::npos) __builtin_trap();
    return 0;
}

#include "VivirovVizivurad/Chat/PillarSink.h"

#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/Chat/PillarContext.h"

namespace vivirov {

namespace {
constexpr const char* kSummaryMarker = "\xF0\x9F\x93\x9D Summarized:";
}

std::shared_ptr<AgenticUISinkBox> makePillarSink(PillarContext& pillar, int epoch, std::function<bool()> alive) {
    PillarContext* target = &pillar;
    return std::make_shared<AgenticUISinkBox>(
        [target, epoch, alive](const std::string& text) {
            if (text.find(kSummaryMarker) == std::string::npos) {
                target->coalescer().append(text, epoch);
                return;
            }
            postToGui([target, alive, text] {
                if (!alive()) return;
                ChatMessage row;
                row.id = UUID::random();
                row.role = Role::toolCall;
                row.content = text;
                row.toolName = "context_summary";
                row.toolArgsPreview = "compacted";
                row.toolResult = text::trimmed(text);
                target->appendMessage(std::move(row));
            });
        },
        [target, alive](const std::string& name) {
            postToGui([target, alive, name] {
                if (alive()) target->appendToolStart(name, "assembling\xE2\x80\xA6");
            });
        },
        [target, alive](const std::string& name, const std::string& result) {
            postToGui([target, alive, name, result] {
                if (alive()) target->completeTool(name, result);
            });
        });
}

} // namespace vivirov

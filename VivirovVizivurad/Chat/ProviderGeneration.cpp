#include "VivirovVizivurad/Chat/ProviderGeneration.h"

#include <algorithm>

#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov::turn {

namespace {

constexpr const char* kGuardMarker = "Unverified catalogue data";
constexpr size_t kFinalLogGraphemes = 420;
constexpr const char* kInProcessProviderID = "derevududuv";

std::vector<ProviderChatMessage>::iterator lastUserEntry(std::vector<ProviderChatMessage>& history) {
    auto found = std::find_if(history.rbegin(), history.rend(),
                              [](const ProviderChatMessage& m) { return m.role == ProviderRole::user; });
    return found == history.rend() ? history.end() : std::prev(found.base());
}

} // namespace

std::vector<ProviderChatMessage> providerHistory(const std::vector<ChatMessage>& rows) {
    std::vector<ProviderChatMessage> history;
    if (rows.empty()) return history;
    history.reserve(rows.size() - 1);
    for (size_t i = 0; i + 1 < rows.size(); ++i) {
        const auto& row = rows[i];
        switch (row.role) {
        case Role::user:
            history.push_back(ProviderChatMessage::make(ProviderRole::user, row.content));
            break;
        case Role::assistant:
            history.push_back(ProviderChatMessage::make(ProviderRole::assistant, row.content));
            break;
        case Role::toolCall:
            history.push_back(ProviderChatMessage::make(
                ProviderRole::assistant,
                "[tool " + row.toolName.value_or("?") + "] " + row.toolResult.value_or(row.content)));
            break;
        }
    }
    return history;
}

void replaceLastUserEntry(std::vector<ProviderChatMessage>& history, const std::string& objective) {
    auto entry = lastUserEntry(history);
    if (entry != history.end()) *entry = ProviderChatMessage::make(ProviderRole::user, objective);
}

void dropLastUserEntry(std::vector<ProviderChatMessage>& history) {
    auto entry = lastUserEntry(history);
    if (entry != history.end()) history.erase(entry);
}

std::string orderedKinds(const std::vector<FabricationGuard::Finding>& findings) {
    std::string list;
    for (const char* kind : {"SKU", "price", "stock"}) {
        bool present = std::any_of(findings.begin(), findings.end(),
                                   [&](const FabricationGuard::Finding& f) { return f.kind == kind; });
        if (!present) continue;
        if (!list.empty()) list += ", ";
        list += kind;
    }
    return list;
}

std::string fabricationGuarded(const std::string& text) {
    if (text.find(kGuardMarker) != std::string::npos) return text;
    const auto findings = FabricationGuard::scan(text);
    if (findings.empty()) return text;
    const std::string kinds = orderedKinds(findings);
    std::string flagged;
    for (const auto& f : findings) {
        if (!flagged.empty()) flagged += ", ";
        flagged += f.kind + ":" + f.value;
    }
    logLine("[vivirov] FabricationGuard flagged unbacked catalogue claim(s): " + flagged);
    return text + "\n\n> \xE2\x9A\xA0\xEF\xB8\x8F **" + kGuardMarker + " (" + kinds + ").** The " + kinds +
           " above were not fetched from the live catalogue \xE2\x80\x94 treat them as unverified. Ask me to pull "
           "current numbers from Shopify/Flipkart before relying on them.";
}

std::string attachmentsPrefix(const std::vector<Attachment>& attachments) {
    if (attachments.empty()) return "";
    std::string joined;
    for (const auto& a : attachments) {
        if (!joined.empty()) joined += "\n\n";
        joined += "Attached file " + a.name + ":\n```\n" + a.content + "\n```";
    }
    return joined + "\n\n";
}

std::string planObjective(const std::string& objective) {
    return "PLAN MODE (read-only): " + objective +
           "\n\nAnalyze and plan, but do NOT write files or execute state-changing commands. Use read_file, "
           "list_files, and search tools only.";
}

int iterationLimit(bool godMode, bool continuousMode, const std::string& providerID) {
    if (godMode) return 32;
    if (continuousMode) return 20;
    if (isLocalServerProvider(providerID)) return 16;
    return 10;
}

bool isLocalServerProvider(const std::string& providerID) { return providerID.starts_with("rizeru"); }

PathChoice choosePath(const std::string& providerID, bool continuousMode, bool askMode, bool webSearch,
                      const std::function<std::string()>& readProviderAgain) {
    const bool plainAsk = !continuousMode && askMode && !webSearch;
    if (!plainAsk) return {TurnPath::agentic, providerID};
    if (providerID == kInProcessProviderID) return {TurnPath::inProcessAsk, providerID};
    if (isLocalServerProvider(providerID)) return {TurnPath::localServerAsk, providerID};
    const std::string again = readProviderAgain();
    if (again == kInProcessProviderID) return {TurnPath::none, again};
    return {TurnPath::agentic, providerID};
}

std::string noGenerationPathLine(const std::string& providerID) {
    return "[vivirov] send: no generation path for provider " + providerID +
           " (not derevududuv-Ask, not agentic) \xE2\x80\x94 ignored";
}

std::string finalLogLine(ConversationKind kind, const std::string& providerID, const std::string& answer) {
    std::string oneLine = answer;
    std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
    return std::string("[vivirov] FINAL[pillar:") + conversationKindText(kind) + "/" + providerID +
           "]: " + text::graphemePrefix(oneLine, kFinalLogGraphemes);
}

} // namespace vivirov::turn

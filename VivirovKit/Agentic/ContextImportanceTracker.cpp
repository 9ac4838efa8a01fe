#include "VivirovKit/Agentic/ContextImportanceTracker.h"

#include <algorithm>
#include <numeric>
#include <set>
#include <unordered_set>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

// Byte size of a list joined with line feeds, kept up to date as messages
// come and go, so every budget check is O(1) instead of re-joining the list.
struct JoinedSize {
    uint64_t bytes = 0;
    uint64_t count = 0;
    void add(const ProviderChatMessage& m) { bytes += m.content.size(); ++count; }
    void remove(const ProviderChatMessage& m) { bytes -= m.content.size(); --count; }
    int64_t estimate() const { return count == 0 ? 0 : int64_t((bytes + (count - 1) + 3) / 4); }
    JoinedSize plus(const JoinedSize& o) const { return {bytes + o.bytes, count + o.count}; }
};

bool isMarker(const ProviderChatMessage& m) { return text::startsWith(m.content, "<summary>"); }

// A native tool exchange is an assistant message carrying tool calls and the
// tool messages answering them. Endpoints reject a history holding only part
// of one, so a partly kept exchange is dropped whole.
void dropBrokenToolExchanges(std::vector<ProviderChatMessage>& kept) {
    std::set<std::string> answered, called;
    for (const auto& m : kept) {
        if (m.role == ProviderRole::tool && m.toolCallID) answered.insert(*m.toolCallID);
        if (m.role == ProviderRole::assistant && m.toolCalls)
            for (const auto& c : *m.toolCalls) called.insert(c.id);
    }
    auto broken = [&](const ProviderChatMessage& m) {
        if (m.role == ProviderRole::tool && m.toolCallID) return !called.count(*m.toolCallID);
        if (m.role == ProviderRole::assistant && m.toolCalls && !m.toolCalls->empty()) {
            for (const auto& c : *m.toolCalls)
                if (!answered.count(c.id)) return true;
        }
        return false;
    };
    // Removing a broken assistant message can orphan its answered results, so repeat until stable.
    for (;;) {
        auto it = std::find_if(kept.begin(), kept.end(), broken);
        if (it == kept.end()) return;
        if (it->role == ProviderRole::assistant)
            for (const auto& c : *it->toolCalls) called.erase(c.id);
        else
            answered.erase(*it->toolCallID);
        kept.erase(it);
    }
}

} // namespace

ContextImportanceTracker::ContextImportanceTracker(int64_t maxTokens, int64_t keepRecentUserTurns)
    : maxTokens_(std::max<int64_t>(maxTokens, 2048)), keepRecentUserTurns_(std::max<int64_t>(keepRecentUserTurns, 1)) {}

int64_t ContextImportanceTracker::estimateTokens(const std::string& text) { return int64_t((text.size() + 3) / 4); }

int64_t ContextImportanceTracker::estimateTokens(const std::vector<ProviderChatMessage>& messages) {
    JoinedSize size;
    for (const auto& m : messages) size.add(m);
    return size.estimate();
}

double ContextImportanceTracker::score(const std::string& message, const std::string& role, int64_t index,
                                       int64_t total) const {
    const std::string r = text::lowercased(role);
    if (r == "system") return 1'000'000;
    double s = r == "tool" ? 80 : 0;
    if (message.find("<tool_result") != std::string::npos || message.find("tool_call") != std::string::npos) s += 60;
    if (message.find("error:") != std::string::npos) s += 20;
    s += 40.0 * double(index + 1) / double(std::max<int64_t>(total, 1));
    if (message.size() > 4000) s -= 15;
    if (message.size() > 12000) s -= 30;
    static const std::vector<std::string> words = [] {
        std::vector<std::string> folded;
        for (const char* w : {"path", "command", "result", "SKU", "price", "order", "file", "error", "OK"})
            folded.push_back(text::caseFolded(w));
        return folded;
    }();
    const std::string folded = text::caseFolded(message); // once, not once per word
    for (const auto& w : words)
        if (folded.find(w) != std::string::npos) s += 3;
    return s;
}

std::vector<ProviderChatMessage> ContextImportanceTracker::trim(const std::vector<ProviderChatMessage>& history) const {
    if (estimateTokens(history) <= maxTokens_) return history;

    size_t headEnd = 0;
    while (headEnd < history.size() && history[headEnd].role == ProviderRole::system) ++headEnd;
    JoinedSize head;
    for (size_t i = 0; i < headEnd; ++i) head.add(history[i]);
    const size_t bodyCount = history.size() - headEnd;
    auto body = [&](size_t i) -> const ProviderChatMessage& { return history[headEnd + i]; };

    std::vector<double> scores(bodyCount);
    for (size_t i = 0; i < bodyCount; ++i)
        scores[i] = score(body(i).content, rawValue(body(i).role), int64_t(i), int64_t(bodyCount));

    std::vector<bool> keep(bodyCount, false);
    JoinedSize kept;
    auto setKeep = [&](size_t i, bool on) {
        if (keep[i] == on) return;
        keep[i] = on;
        on ? kept.add(body(i)) : kept.remove(body(i));
    };
    const size_t recent = std::min<size_t>(bodyCount, size_t(std::max<int64_t>(3 * keepRecentUserTurns_, 4)));
    for (size_t i = bodyCount - recent; i < bodyCount; ++i) setKeep(i, true);
    for (size_t i = 0; i < bodyCount; ++i)
        if (scores[i] >= 80) setKeep(i, true);

    std::vector<size_t> order(bodyCount);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    for (size_t i : order) {
        setKeep(i, true);
        if (head.plus(kept).estimate() > maxTokens_) {
            setKeep(i, false);
            break;
        }
    }

    std::vector<ProviderChatMessage> list;
    for (size_t i = 0; i < bodyCount; ++i)
        if (keep[i]) list.push_back(body(i));

    // Pruning. A marker is never chosen for removal: removing it would only
    // put an equal marker back, and the loop would not end. Where only markers
    // are left among the user and assistant turns, the first other message goes.
    size_t markers = 0;
    for (const auto& m : list) markers += isMarker(m);
    while (head.plus(kept).estimate() > maxTokens_ && list.size() >= 3) {
        auto victim = std::find_if(list.begin(), list.end(), [](const ProviderChatMessage& m) {
            return (m.role == ProviderRole::user || m.role == ProviderRole::assistant) && !isMarker(m);
        });
        if (victim == list.end()) {
            auto other = std::find_if(list.begin(), list.end(), [](const ProviderChatMessage& m) { return !isMarker(m); });
            if (other == list.end()) break;
            kept.remove(*other);
            list.erase(other);
            continue;
        }
        ProviderChatMessage removed = std::move(*victim);
        kept.remove(removed);
        list.erase(victim);
        if (markers == 0) {
            ProviderChatMessage marker = ProviderChatMessage::make(
                ProviderRole::user,
                "<summary>Earlier context pruned (" + text::graphemePrefix(removed.content, 80) + "…)</summary>");
            kept.add(marker);
            list.insert(list.begin(), std::move(marker));
            markers = 1;
        }
    }

    dropBrokenToolExchanges(list);
    std::vector<ProviderChatMessage> out(history.begin(), history.begin() + long(headEnd));
    out.insert(out.end(), std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
    return out;
}

ContextImportanceTracker::TrimResult
ContextImportanceTracker::trimWithSummary(const std::vector<ProviderChatMessage>& history) const {
    TrimResult result{trim(history), std::nullopt};
    if (result.messages.size() >= history.size()) return result;
    std::unordered_set<std::string> keptKeys;
    for (const auto& m : result.messages) keptKeys.insert(std::string(rawValue(m.role)) + '\0' + m.content);
    std::vector<ProviderChatMessage> dropped;
    for (const auto& m : history)
        if (!keptKeys.count(std::string(rawValue(m.role)) + '\0' + m.content)) dropped.push_back(m);
    if (!dropped.empty()) {
        result.summary = "📝 Summarized: " + summarizeDropped(dropped);
    } else {
        result.summary = "📝 Summarized: older context compacted (" + std::to_string(history.size()) + "→" +
                         std::to_string(result.messages.size()) + " msgs)";
    }
    return result;
}

std::string ContextImportanceTracker::summarizeDropped(const std::vector<ProviderChatMessage>& dropped) {
    if (dropped.empty()) return "earlier turns";
    std::string out = std::to_string(dropped.size()) + " msgs — ";
    for (size_t i = 0; i < dropped.size() && i < 4; ++i) {
        if (i) out += " · ";
        std::string content = dropped[i].content;
        std::replace(content.begin(), content.end(), '\n', ' ');
        if (text::graphemeCount(content) > 60) content = text::graphemePrefix(content, 60) + "…";
        out += std::string(rawValue(dropped[i].role)) + ": " + content;
    }
    return out;
}

} // namespace vivirov

#include "VivirovVizivurad/Chat/VMPermissionGate.h"

#include <algorithm>
#include <array>
#include <vector>

#include "VivirovKit/Tools/ToolRegistry.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

namespace vivirov {

namespace {

// Argument keys that name what a tool reads or writes, shown first so the
// card never hides the file a call changes.
constexpr std::array kPathLikeKeys{"path", "output", "dest", "root", "url"};

int pathRank(const std::string& key) {
    auto it = std::find(kPathLikeKeys.begin(), kPathLikeKeys.end(), key);
    return it == kPathLikeKeys.end() ? int(kPathLikeKeys.size()) : int(it - kPathLikeKeys.begin());
}

} // namespace

std::string VMPermissionGate::loopCardBody(const std::string& toolName,
                                           const std::map<std::string, std::string>& arguments) {
    if (arguments.empty()) return toolName;
    if (arguments.size() == 1) return arguments.begin()->second;
    std::vector<const std::pair<const std::string, std::string>*> ordered;
    for (const auto& entry : arguments) ordered.push_back(&entry);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](auto* a, auto* b) { return pathRank(a->first) < pathRank(b->first); });
    std::string body;
    for (auto* entry : ordered) {
        if (!body.empty()) body += '\n';
        body += entry->first + ": " + entry->second;
    }
    return body;
}

bool VMPermissionGate::approve(const ProviderToolCall& call, std::stop_token cancel) {
    if (!available()) return false;
    if (ToolExecutionManager::readOnlyTools().contains(call.name)) return true;
    return requestPermission(ToolRegistry::displayName(call.name), loopCardBody(call.name, call.arguments), cancel)
        .value_or(false);
}

std::optional<bool> VMPermissionGate::requestPermission(const std::string& toolName, const std::string& command,
                                                        std::stop_token stop) {
    if (!available()) return std::nullopt;
    // Only the GUI-thread job and then the gate own the verdict: should the
    // job be dropped (the application is gone) the wait ends as a refusal.
    auto verdict = std::make_shared<PermissionVerdict>();
    std::weak_ptr<PermissionVerdict> weakVerdict = verdict;
    auto answer = verdict->takeFuture();
    const UUID id = UUID::random();
    auto gone = std::make_shared<std::atomic<bool>>(false);

    postToGui([vm = vm_, verdict = std::move(verdict), request = PendingCommand{id, toolName, command}, gone]() mutable {
        auto* controller = GuiLife<QuintoraViewModel>::resolve(vm);
        if (!controller) {
            gone->store(true);
            verdict->deliver(false);
        } else if (controller->permissionMode() != QuintoraViewModel::PermissionMode::ask) {
            verdict->deliver(true);
        } else {
            controller->permissionGate().enqueue(std::move(request), std::move(verdict));
        }
    });
    // A stopped run refuses at once and then takes its request off the card.
    std::stop_callback onStop(stop, [weakVerdict, vm = vm_, id] {
        if (auto verdict = weakVerdict.lock()) verdict->deliver(false);
        postToGui([vm, id] {
            if (auto* controller = GuiLife<QuintoraViewModel>::resolve(vm)) controller->permissionGate().withdraw(id);
        });
    });
    bool approved = false;
    try {
        approved = answer.get();
    } catch (const std::future_error&) {
        return std::nullopt;
    }
    if (gone->load()) return std::nullopt;
    return approved;
}

} // namespace vivirov

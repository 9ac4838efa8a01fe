#include "VivirovVizivurad/Chat/LLMTaskDriver.h"

#include <QThread>

#include <future>

#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

namespace vivirov {

LLMTaskDriver::LLMTaskDriver(QuintoraViewModel& vm, std::string objective)
    : vm_(vm.weakSelf()), objective_(std::move(objective)) {}

void LLMTaskDriver::attempt(const std::optional<std::string>&, std::stop_token token) {
    if (vm_.expired() || token.stop_requested()) return;

    auto onGui = [vm = vm_, token] {
        auto* controller = GuiLife<QuintoraViewModel>::resolve(vm);
        if (!controller || token.stop_requested()) return;
        // The generation towards the objective belongs here.
    };
    auto* app = QCoreApplication::instance();
    if (!app) return;
    if (QThread::currentThread() == app->thread()) {
        onGui();
        return;
    }
    auto visited = std::make_shared<std::promise<void>>();
    auto done = visited->get_future();
    postToGui([onGui, visited] {
        onGui();
        visited->set_value();
    });
    try {
        done.get();
    } catch (const std::future_error&) {
        // The event loop ended before the visit.
    }
}

} // namespace vivirov

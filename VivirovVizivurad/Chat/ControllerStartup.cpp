#include "VivirovVizivurad/Chat/ControllerStartup.h"

#include <atomic>

#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Chat/ServicesFactory.h"

namespace vivirov {

struct ControllerStartup::State {
    std::shared_ptr<ServicesFactory> services;
    Ready onReady;
    std::atomic<bool> abandoned{false};
};

ControllerStartup::ControllerStartup(std::shared_ptr<ServicesFactory> services, Ready onReady)
    : state_(std::make_shared<State>()) {
    state_->services = std::move(services);
    state_->onReady = std::move(onReady);
    worker_ = std::jthread([state = state_] {
        state->services->prepare();
        postToGui([state] {
            if (state->abandoned) return;
            state->onReady(std::make_unique<QuintoraViewModel>(*state->services));
        });
    });
}

ControllerStartup::~ControllerStartup() {
    state_->abandoned = true;
    if (worker_.joinable()) worker_.join();
}

} // namespace vivirov

#pragma once
#include <functional>
#include <memory>
#include <thread>

namespace vivirov {

class QuintoraViewModel;
class ServicesFactory;

// Brings the chat controller up without freezing the window: the services'
// blocking set-up runs on a worker while the GUI event loop turns, then the
// controller is built on the GUI thread and handed to `onReady` there.
class ControllerStartup {
public:
    using Ready = std::function<void(std::unique_ptr<QuintoraViewModel>)>;

    // Returns at once. `services` must outlive the controller.
    ControllerStartup(std::shared_ptr<ServicesFactory> services, Ready onReady);
    // Waits for the set-up if it still runs; a controller not yet built is
    // then never built.
    ~ControllerStartup();

private:
    struct State;
    std::shared_ptr<State> state_;
    std::jthread worker_;
};

} // namespace vivirov

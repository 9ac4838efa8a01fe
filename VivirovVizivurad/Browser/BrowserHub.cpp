#include "VivirovVizivurad/Browser/BrowserHub.h"

#include <QEventLoop>
#include <QThread>

#include <future>

#include "VivirovVizivurad/Browser/GlassBrowserModel.h"

namespace vivirov {

namespace {

using Life = GuiLife<GlassBrowserModel>;

bool onGuiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Runs `work` with the model on the GUI thread and hands its answer to
// `reply` (exactly once); `reply` gets none when there is no model or no
// event loop to run on.
template <class T>
using Reply = std::function<void(std::optional<T>)>;

template <class T>
void withModel(const Life::Weak& weak, std::function<void(GlassBrowserModel&, Reply<T>)> work, Reply<T> reply) {
    auto run = [weak, work, reply] {
        auto* model = Life::resolve(weak);
        if (!model) return reply(std::nullopt);
        work(*model, reply);
    };
    if (onGuiThread()) return run();
    postToGui(run);
}

// Waits for the answer: off the GUI thread on a future, on it in a local
// event loop (the page answers scripts through the loop).
template <class T>
std::optional<T> await(const Life::Weak& weak, std::function<void(GlassBrowserModel&, Reply<T>)> work) {
    if (weak.expired()) return std::nullopt;
    if (onGuiThread()) {
        std::optional<std::optional<T>> answer;
        QEventLoop loop;
        withModel<T>(weak, work, [&](std::optional<T> value) {
            answer = std::move(value);
            loop.quit();
        });
        if (!answer) loop.exec();
        return answer.value_or(std::nullopt);
    }
    auto promise = std::make_shared<std::promise<std::optional<T>>>();
    auto future = promise->get_future();
    withModel<T>(weak, work, [promise](std::optional<T> value) { promise->set_value(std::move(value)); });
    try {
        return future.get();
    } catch (const std::future_error&) {
        return std::nullopt; // the event loop ended before the job ran
    }
}

} // namespace

const std::shared_ptr<BrowserHub>& BrowserHub::shared() {
    static const std::shared_ptr<BrowserHub> hub = std::make_shared<BrowserHub>();
    return hub;
}

void BrowserHub::attach(GlassBrowserModel& model) {
    std::lock_guard guard(lock_);
    model_ = model.weakSelf();
}

Life::Weak BrowserHub::model() const {
    std::lock_guard guard(lock_);
    return model_;
}

std::string BrowserHub::navigate(const std::string& target) {
    auto answer = await<std::string>(model(), [target](GlassBrowserModel& m, Reply<std::string> reply) {
        reply(m.navigate(target));
    });
    return answer.value_or(noBrowserText);
}

std::string BrowserHub::refresh() {
    auto answer = await<std::string>(
        model(), [](GlassBrowserModel& m, Reply<std::string> reply) { reply(m.reloadPage()); });
    return answer.value_or(noBrowserText);
}

std::string BrowserHub::extractText() {
    auto answer = await<std::string>(model(), [](GlassBrowserModel& m, Reply<std::string> reply) {
        m.extractText([reply](std::string text) { reply(std::move(text)); });
    });
    if (!answer) return noBrowserText;
    return answer->empty() ? noTextYet : *answer;
}

std::optional<bool> BrowserHub::refreshIfShowing(const std::string& filePath) {
    return await<bool>(model(),
                       [filePath](GlassBrowserModel& m, Reply<bool> reply) { reply(m.refreshIfShowing(filePath)); });
}

} // namespace vivirov

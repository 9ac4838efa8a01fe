#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VivirovVizivurad/Chat/GuiThread.h"
#include "VivirovVizivurad/HostTools/HostToolBackends.h"

namespace vivirov {

class GlassBrowserModel;

// The process-wide way to the one in-app browser, for the host tools, which
// hold no reference to the chat controller that owns it. It holds the model
// weakly; every operation runs on the GUI thread and answers plain text.
//
// Callable from any thread: off the GUI thread a call waits for its turn of
// the GUI event loop. The lock guards only the reference to the model.
class BrowserHub final : public BrowserOperations {
public:
    static constexpr const char* noBrowserText =
        "error: no in-app browser is attached (it attaches at app launch; if you see this, the UI hasn't finished "
        "initialising).";
    static constexpr const char* noTextYet = "(the page has no extractable text yet \xE2\x80\x94 it may still be loading)";

    static const std::shared_ptr<BrowserHub>& shared();

    // GUI thread: the model to use from now on (it may go at any time).
    void attach(GlassBrowserModel& model);

    std::string navigate(const std::string& target) override;
    std::string refresh() override;
    std::string extractText() override;
    std::optional<bool> refreshIfShowing(const std::string& filePath) override;

private:
    GuiLife<GlassBrowserModel>::Weak model() const;

    mutable std::mutex lock_;
    GuiLife<GlassBrowserModel>::Weak model_;
};

} // namespace vivirov

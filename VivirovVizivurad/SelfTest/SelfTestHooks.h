#pragma once

namespace vivirov {

class QuintoraViewModel;

// The environment-triggered self-tests and demos the chat controller runs
// at the end of its construction, in the order of the members below. Each
// does nothing unless its variable is set; until the self-test suites are
// built, none does anything.
class SelfTestHooks {
public:
    virtual ~SelfTestHooks() = default;
    virtual void applyVerifyHooks(QuintoraViewModel&) {}
    virtual void seedDemoTasksIfRequested(QuintoraViewModel&) {}
    virtual void runDemoIfRequested(QuintoraViewModel&) {}
    virtual void runBrowserE2EIfRequested(QuintoraViewModel&) {}
    virtual void runFabGuardE2EIfRequested(QuintoraViewModel&) {}
    // The first-generation engine's own demo generation.
    virtual void runEngineDemoIfRequested(QuintoraViewModel&) {}
    virtual void runDerevududuvProviderProofIfRequested(QuintoraViewModel&) {}
    virtual void runAgenticPillarE2EIfRequested(QuintoraViewModel&) {}
    virtual void runUIChatProofIfRequested(QuintoraViewModel&) {}
    virtual void runKillRaceE2EIfRequested(QuintoraViewModel&) {}
};

} // namespace vivirov

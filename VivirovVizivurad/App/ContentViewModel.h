#pragma once
#include <QObject>
#include <QPointer>

#include <functional>

#include "VivirovVizivurad/App/AppRoute.h"

namespace vivirov {

class NavigationRouter;
class QuintoraViewModel;
class SwarmOrchestrator;

// The main window's own state and wiring, outside any widget: the
// inspector's presence and tab, the route hook that swaps the composer draft
// before the controller learns the new route, the deep-read toggle and the
// eight start-up tasks. State here survives an appearance rebuild.
class ContentViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isInspectorPresented READ isInspectorPresented WRITE setInspectorPresented NOTIFY
                   inspectorPresentedChanged)
    Q_PROPERTY(InspectorTab inspectorTab READ inspectorTab WRITE setInspectorTab NOTIFY inspectorTabChanged)

public:
    enum class InspectorTab { activity, neuro };
    Q_ENUM(InspectorTab)
    static QString tabTitle(InspectorTab tab);

    // Steps of start-up that other work fills in; each defaults to nothing.
    struct Hooks {
        std::function<void()> engineBootstrap;  // load the local engine
        std::function<void()> installYield;     // the engine's UI-breath controller
        std::function<void()> setupQuickAsk;
        std::function<void()> applyQAHooks;
        std::function<void()> runGates;         // self-test gates, in their order
        std::function<void(bool)> applyDeepRead;
    };
    static constexpr int titleBarInset = 28;

    ContentViewModel(NavigationRouter& router, SwarmOrchestrator& swarm, Hooks hooks = {},
                     QObject* parent = nullptr);

    NavigationRouter& router() { return router_; }
    SwarmOrchestrator& swarm() { return swarm_; }
    QuintoraViewModel* controller() const { return alive_ ? vm_ : nullptr; }
    // The controller arrives once it is built; the start-up tasks run then.
    void attachController(QuintoraViewModel& vm);

    bool isInspectorPresented() const { return inspectorPresented_; }
    void setInspectorPresented(bool on);
    void toggleInspector() { setInspectorPresented(!inspectorPresented_); }
    InspectorTab inspectorTab() const { return inspectorTab_; }
    void setInspectorTab(InspectorTab tab);
    // Flips the controller's deep-read mode; the hook sees each new value.
    void toggleDeepRead();

    // Whether the hard-stop button shows: god mode, or any turn streaming.
    bool killSwitchVisible() const { return killSwitchVisible_; }

    // The process's resident size, sampled once; overridable for tests.
    std::function<double()> sampleMemory;

signals:
    void inspectorPresentedChanged();
    void inspectorTabChanged();
    void controllerAttached();
    void killSwitchVisibleChanged();

private:
    void runStartupTasks();
    void onRouteChanged(AppRoute from, AppRoute to);
    void updateKillSwitch();

    NavigationRouter& router_;
    SwarmOrchestrator& swarm_;
    Hooks hooks_;
    QuintoraViewModel* vm_ = nullptr;
    QPointer<QObject> alive_; // clears when the controller goes
    bool inspectorPresented_ = true;
    InspectorTab inspectorTab_ = InspectorTab::activity;
    bool killSwitchVisible_ = false;
};

} // namespace vivirov

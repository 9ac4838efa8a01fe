#include "VivirovVizivurad/App/Columns/DetailPane.h"

#include "VivirovVizivurad/App/Columns/DeepReadBadge.h"
#include "VivirovVizivurad/App/Columns/KillSwitchLayer.h"
#include "VivirovVizivurad/App/Columns/PillarStack.h"
#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/App/RoutePlaceholder.h"
#include "VivirovVizivurad/App/Sidebar/SidebarModel.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/ChatColumnView.h"
#include "VivirovVizivurad/Dictation/SpeechDictation.h"
#include "VivirovVizivurad/Permission/CommandCardOverlay.h"
#include "VivirovVizivurad/Permission/GodModeChrome.h"

namespace vivirov {
namespace {

QWidget* makePillar(AppRoute route, QuintoraViewModel* vm) {
    if (route == AppRoute::chat && vm) return new ChatColumnView(*vm, SpeechDictation::makeDefault());
    // Screens not built yet stand in with their symbol and title.
    return new RoutePlaceholder(SidebarModel::routeSymbol(route), routeTitle(route));
}

bool isGod(QuintoraViewModel* vm) { return vm && vm->permissionMode() == QuintoraViewModel::PermissionMode::god; }

} // namespace

DetailPane::DetailPane(ContentViewModel& model, QWidget* parent)
    : QWidget(parent), model_(model), pillars_(new PillarStack(model.router().currentRoute(), this)),
      godChrome_(new GodModeChrome(false, this)), killSwitch_(new KillSwitchLayer(
                                         [&model] {
                                             if (QuintoraViewModel* vm = model.controller()) vm->hardStop();
                                         },
                                         this)),
      badge_(new DeepReadBadge(this)) {
    for (AppRoute route : allRoutes) pillars_->setPillar(route, makePillar(route, model.controller()));
    godChrome_->setObjectName(QStringLiteral("god-mode-chrome"));
    godChrome_->setAttribute(Qt::WA_TransparentForMouseEvents);
    godChrome_->setFocusPolicy(Qt::NoFocus);
    godChrome_->hide();

    connect(&model_.router(), &NavigationRouter::currentRouteChanged, pillars_,
            [this](AppRoute, AppRoute to) { pillars_->showRoute(to); });
    connect(&model_, &ContentViewModel::killSwitchVisibleChanged, this, &DetailPane::syncKillSwitch);
    if (QuintoraViewModel* vm = model_.controller()) {
        connect(vm, &QuintoraViewModel::permissionModeChanged, this, &DetailPane::syncGodMode);
        connect(vm, &QuintoraViewModel::deepReadModeChanged, this, &DetailPane::syncDeepRead);
    }
    godShown_ = isGod(model_.controller());
    godChrome_->setActive(godShown_);
    godChrome_->setVisible(godShown_);
    killSwitch_->setPresent(model_.killSwitchVisible(), false);
    syncDeepRead();
    // The permission card lies over the whole detail pane, whatever the route.
    if (QuintoraViewModel* vm = model_.controller()) placeOverlay(Layer::commandCard, new CommandCardOverlay(*vm, this));
    restack();
}

void DetailPane::placeOverlay(Layer layer, QWidget* overlay) {
    auto found = overlays_.find(layer);
    if (found != overlays_.end()) delete found->second;
    overlays_[layer] = overlay;
    // An overlay that hid itself (a card with nothing to ask) stays hidden.
    const bool keepHidden = overlay->parentWidget() && overlay->isHidden();
    overlay->setParent(this);
    overlay->setGeometry(rect());
    if (!keepHidden) overlay->show();
    restack();
}

void DetailPane::restack() {
    // Back to front: screens, HUD, god chrome, cockpit, card, toggle, kill switch, badge.
    pillars_->lower();
    for (Layer layer : {Layer::hud, Layer::godChrome, Layer::cockpit, Layer::commandCard, Layer::cockpitToggle}) {
        if (layer == Layer::godChrome) godChrome_->raise();
        if (auto found = overlays_.find(layer); found != overlays_.end()) found->second->raise();
    }
    killSwitch_->raise();
    badge_->raise();
}

void DetailPane::syncGodMode() {
    // Only a change of god mode grows or shrinks the button; streaming flips it at once.
    godShown_ = isGod(model_.controller());
    godChrome_->setActive(godShown_);
    godChrome_->setVisible(godShown_);
    killSwitch_->setPresent(model_.killSwitchVisible(), true);
}

void DetailPane::syncKillSwitch() {
    const bool godChanged = isGod(model_.controller()) != godShown_;
    if (godChanged) return syncGodMode();
    killSwitch_->setPresent(model_.killSwitchVisible(), false);
}

void DetailPane::syncDeepRead() {
    QuintoraViewModel* vm = model_.controller();
    badge_->setShown(vm && vm->deepReadMode());
}

void DetailPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    pillars_->setGeometry(rect());
    godChrome_->setGeometry(rect());
    for (auto& [layer, overlay] : overlays_) overlay->setGeometry(rect());
    killSwitch_->place(size());
    badge_->place(size());
}

} // namespace vivirov

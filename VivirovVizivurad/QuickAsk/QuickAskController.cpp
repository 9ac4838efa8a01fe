#include "VivirovVizivurad/QuickAsk/QuickAskController.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QPropertyAnimation>
#include <QScreen>

#include "VivirovVizivurad/QuickAsk/PortalGlobalShortcut.h"
#include "VivirovVizivurad/QuickAsk/QuickAskPanel.h"
#include "VivirovVizivurad/QuickAsk/QuickAskTrigger.h"
#include "VivirovVizivurad/QuickAsk/X11RawKeyMonitor.h"

namespace vivirov {
namespace {

QList<QuickAskLayout::Screen> desktopScreens() {
    QList<QuickAskLayout::Screen> out;
    for (QScreen* screen : QGuiApplication::screens()) out.append({screen->geometry(), screen->availableGeometry()});
    return out;
}

std::optional<int> desktopPrimary() {
    const int index = int(QGuiApplication::screens().indexOf(QGuiApplication::primaryScreen()));
    return index >= 0 ? std::optional(index) : std::nullopt;
}

} // namespace

QuickAskController::QuickAskController(QObject* parent)
    : QObject(parent), screens(&desktopScreens), pointer([] { return QCursor::pos(); }),
      primaryScreen(&desktopPrimary) {}

QuickAskController::~QuickAskController() {
    teardownMonitors();
    delete panel_;
}

void QuickAskController::setDraft(const QString& draft) {
    if (draft == draft_) return;
    draft_ = draft;
    emit draftChanged();
}

void QuickAskController::setVisibleFlag(bool visible) {
    ++generation_;
    if (visible == visible_) return;
    visible_ = visible;
    emit visibleChanged();
}

void QuickAskController::installGlobalHotkey() {
    teardownMonitors();
    qApp->installEventFilter(this);
    localMonitor_ = true;
    // A press in another application arrives here; one in our own windows
    // is the filter's, so it never toggles twice.
    globalMonitor_ = X11RawKeyMonitor::open([self = QPointer(this)] {
        if (!self || QGuiApplication::focusWindow()) return;
        QMetaObject::invokeMethod(self, [self] { if (self) self->toggle(); }, Qt::QueuedConnection);
    });
    const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    if (!globalMonitor_ && (wayland || portalBus_)) {
        // The compositor takes the key for itself, so our windows never see it twice.
        portal_ = new PortalGlobalShortcut(portalBus_ ? *portalBus_ : QDBusConnection::sessionBus(),
                                           [this] { toggle(); }, this);
    }
}

void QuickAskController::usePortalBus(const QDBusConnection& bus) {
    portalBus_ = std::make_unique<QDBusConnection>(bus);
}

bool QuickAskController::watchesOtherApplications() const {
    return globalMonitor_ != nullptr || (portal_ && portal_->isBound());
}

void QuickAskController::teardownMonitors() {
    if (localMonitor_ && qApp) qApp->removeEventFilter(this);
    localMonitor_ = false;
    globalMonitor_.reset();
    delete portal_;
    portal_ = nullptr;
}

bool QuickAskController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (QuickAskTrigger::matches(key->key(), key->modifiers())) {
            if (!key->isAutoRepeat()) toggle();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void QuickAskController::show() {
    if (!panel_) panel_ = new QuickAskPanel(*this);
    sizePanelToDraft(false);
    centreOnActiveScreen();
    panel_->setWindowOpacity(0);
    panel_->show();
    panel_->raise();
    panel_->activateWindow(); // the panel takes the keys; the main window is left as it is
    QPropertyAnimation* fade = animate(fade_, "windowOpacity", fadeInMs);
    fade->setEndValue(1.0);
    fade->setEasingCurve(QEasingCurve::OutCubic);
    fade->start(QAbstractAnimation::DeleteWhenStopped);
    setVisibleFlag(true);
}

void QuickAskController::hide() {
    if (!panel_) {
        setVisibleFlag(false);
        return;
    }
    QPropertyAnimation* fade = animate(fade_, "windowOpacity", fadeOutMs);
    fade->setEndValue(0.0);
    fade->setEasingCurve(QEasingCurve::InCubic);
    setVisibleFlag(false);
    connect(fade, &QPropertyAnimation::finished, panel_,
            [this, panel = QPointer(panel_), generation = generation_] {
                // A show that came during the fade keeps the panel.
                if (panel && generation == generation_ && !visible_) panel->hide();
            });
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

bool QuickAskController::commit() {
    const std::optional<QString> text = QuickAskLayout::committed(draft_);
    if (!text) return false;
    if (canSubmit && !canSubmit()) return false;
    if (onSubmit) onSubmit(*text);
    setDraft(QString());
    hide();
    return true;
}

void QuickAskController::sizePanelToDraft(bool animated) {
    if (!panel_) return;
    const int height = QuickAskLayout::panelHeight(QuickAskLayout::lineCount(draft_));
    // The top-left corner stays; the panel grows and shrinks at its bottom edge.
    const QRect frame(panel_->geometry().topLeft(), QSize(QuickAskLayout::panelWidth, height));
    if (!animated || !panel_->isVisible()) {
        panel_->setGeometry(frame);
        return;
    }
    QPropertyAnimation* grow = animate(resize_, "geometry", resizeMs);
    grow->setEndValue(frame);
    grow->setEasingCurve(QEasingCurve::InOutCubic);
    grow->start(QAbstractAnimation::DeleteWhenStopped);
}

QPropertyAnimation* QuickAskController::animate(QPointer<QPropertyAnimation>& slot, const char* property, int ms) {
    if (slot) slot->stop(); // stopping deletes it
    slot = new QPropertyAnimation(panel_, property, panel_);
    slot->setDuration(ms);
    return slot;
}

void QuickAskController::centreOnActiveScreen() {
    const auto origin =
        QuickAskLayout::centredOrigin(screens ? screens() : QList<QuickAskLayout::Screen>{},
                                      pointer ? pointer() : QPoint(), primaryScreen ? primaryScreen() : std::nullopt,
                                      panel_->size());
    if (origin) panel_->move(*origin); // without screens the panel keeps its place
}

} // namespace vivirov

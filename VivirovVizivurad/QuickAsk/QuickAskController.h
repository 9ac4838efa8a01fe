#pragma once
#include <QObject>
#include <QPointer>
#include <QDBusConnection>
#include <QString>

#include <functional>
#include <memory>

#include "VivirovVizivurad/QuickAsk/QuickAskLayout.h"

class QPropertyAnimation;
class QWidget;

namespace vivirov {

class PortalGlobalShortcut;
class QuickAskPanel;
class X11RawKeyMonitor;

// The Quick Ask prompt: a floating panel summoned with Ctrl+Shift+J from any
// application, whose question goes to the main chat. Owns the panel (made on
// first show, then kept), the draft (kept while hidden, cleared only by a
// commit that was sent) and the key watchers. GUI thread only.
class QuickAskController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString draft READ draft WRITE setDraft NOTIFY draftChanged)

public:
    static constexpr int fadeInMs = 180;
    static constexpr int fadeOutMs = 160;
    static constexpr int resizeMs = 140;

    explicit QuickAskController(QObject* parent = nullptr);
    ~QuickAskController() override;

    // Delivers a committed question.
    std::function<void(const QString&)> onSubmit;
    // Whether a question can be sent now; a commit refused here leaves the
    // panel open with its draft, so nothing is lost.
    std::function<bool()> canSubmit;
    // The application's main window; Quick Ask never raises or focuses it.
    QPointer<QWidget> mainWindow;

    // Where the screens are and where the pointer is; the desktop's by default.
    std::function<QList<QuickAskLayout::Screen>()> screens;
    std::function<QPoint()> pointer;
    std::function<std::optional<int>()> primaryScreen;

    const QString& draft() const { return draft_; }
    void setDraft(const QString& draft);
    bool isVisible() const { return visible_; }
    QuickAskPanel* panel() const { return panel_; }

    // Watches the key in our own windows (taking it) and, where the desktop
    // offers it, in every other application (leaving it to them). Calling it
    // again replaces the watchers.
    void installGlobalHotkey();
    bool watchesOtherApplications() const;
    // Where X11 offers no key watching (Wayland), the desktop portal's
    // global shortcut is asked for on this bus.
    void usePortalBus(const QDBusConnection& bus);

    void show();
    void hide();
    void toggle() { visible_ ? hide() : show(); }
    // Sends the trimmed draft; returns whether it went.
    bool commit();
    void sizePanelToDraft(bool animated);

signals:
    void draftChanged();
    void visibleChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void teardownMonitors();
    void centreOnActiveScreen();
    void setVisibleFlag(bool visible);
    // Replaces the running animation in `slot` with a new one of `property`.
    QPropertyAnimation* animate(QPointer<QPropertyAnimation>& slot, const char* property, int ms);

    QString draft_;
    bool visible_ = false;
    QuickAskPanel* panel_ = nullptr;
    std::unique_ptr<X11RawKeyMonitor> globalMonitor_;
    PortalGlobalShortcut* portal_ = nullptr;
    std::unique_ptr<QDBusConnection> portalBus_;
    bool localMonitor_ = false;
    // Each show and hide starts a new generation; a fade-out that finishes
    // after a newer show leaves the panel on screen.
    unsigned generation_ = 0;
    QPointer<QPropertyAnimation> fade_;
    QPointer<QPropertyAnimation> resize_;
};

} // namespace vivirov

#include "VivirovVizivurad/App/Sidebar/NavigationSidebarView.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>

#include "VivirovVizivurad/App/BrandMark.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/App/PlaceholderSheet.h"
#include "VivirovVizivurad/App/Sidebar/SidebarModel.h"
#include "VivirovVizivurad/App/Sidebar/SidebarRow.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"

namespace vivirov {
namespace {

QColor foreground(const QWidget* widget, double opacity) {
    QColor color = widget->palette().color(QPalette::WindowText);
    color.setAlphaF(opacity);
    return color;
}
QColor primary(const QWidget* w) { return foreground(w, 1.0); }
QColor secondary(const QWidget* w) { return foreground(w, 0.62); }
QColor tertiary(const QWidget* w) { return foreground(w, 0.38); }

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setStyleSheet(QStringLiteral("color: rgba(127,127,127,64)"));
    return line;
}

QWidget* padded(QWidget* inner, int left, int top, int right, int bottom, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(left, top, right, bottom);
    layout->setSpacing(0);
    layout->addWidget(inner);
    return box;
}

} // namespace

NavigationSidebarView::NavigationSidebarView(SidebarModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setMinimumWidth(240);
    setMaximumWidth(360);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Identity header.
    auto* header = new QWidget(this);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(16, 32, 16, 16);
    headerRow->setSpacing(12);
    mark_ = new BrandMark(false, 30, header);
    headerRow->addWidget(mark_);
    auto* title = new QLabel(QStringLiteral("Vivirov Vizivurad"), header);
    QFont titleFont = title->font();
    titleFont.setPixelSize(14);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    headerRow->addWidget(title);
    headerRow->addStretch();
    layout->addWidget(header);
    layout->addWidget(padded(divider(this), 16, 0, 16, 0, this));

    // New Chat.
    newChat_ = new SidebarRow({QStringLiteral("square.and.pencil"), 13, 22, 12, 9, false, true, false},
                              QStringLiteral("New Chat"), this);
    newChat_->setToolTip(SidebarModel::kNewChatHint);
    newChat_->setAccessibleName(QStringLiteral("New Chat"));
    connect(newChat_, &SidebarRow::clicked, &model_, &SidebarModel::newChat);
    auto* shortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+N")), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, &model_, &SidebarModel::newChat);
    layout->addWidget(padded(newChat_, 8, 12, 8, 0, this));

    // Routes.
    auto* routes = new QWidget(this);
    auto* routesLayout = new QVBoxLayout(routes);
    routesLayout->setContentsMargins(8, 8, 8, 0);
    routesLayout->setSpacing(4);
    for (AppRoute route : allRoutes) {
        auto* row = new SidebarRow({SidebarModel::routeSymbol(route), 13, 22, 12, 9, true, true, false},
                                   routeTitle(route), routes);
        row->setAccessibleName(routeTitle(route));
        row->setAccessibleDescription(SidebarModel::routeHint(route));
        connect(row, &SidebarRow::clicked, &model_, [this, route] { model_.selectRoute(route); });
        routesLayout->addWidget(row);
        routeRows_[route] = row;
    }
    layout->addWidget(routes);

    // Recent sessions.
    recent_ = new QLabel(QStringLiteral("RECENT"), this);
    QFont recentFont = recent_->font();
    recentFont.setPixelSize(10);
    recentFont.setWeight(QFont::DemiBold);
    recentFont.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    recent_->setFont(recentFont);
    recent_->setContentsMargins(12, 16, 12, 4);
    layout->addWidget(recent_);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* sessions = new QWidget(scroll);
    sessionsLayout_ = new QVBoxLayout(sessions);
    sessionsLayout_->setContentsMargins(8, 0, 8, 8);
    sessionsLayout_->setSpacing(4);
    sessionsLayout_->addStretch();
    scroll->setWidget(sessions);
    layout->addWidget(scroll, 1);

    // Appearance.
    layout->addWidget(padded(divider(this), 16, 0, 16, 0, this));
    appearance_ = new SidebarRow({QStringLiteral("paintpalette"), 13, 22, 12, 9, false, false, true},
                                 QStringLiteral("Appearance"), this);
    appearance_->setToolTip(SidebarModel::kAppearanceHint);
    connect(appearance_, &SidebarRow::clicked, this, &NavigationSidebarView::openAppearance);
    layout->addWidget(padded(appearance_, 8, 8, 8, 8, this));

    connect(&model_.router(), &NavigationRouter::currentRouteChanged, this, &NavigationSidebarView::restyle);
    controllerAttached();
}

void NavigationSidebarView::controllerAttached() {
    if (QuintoraViewModel* vm = model_.controller()) {
        connect(vm, &QuintoraViewModel::sessionsChanged, this, &NavigationSidebarView::rebuildSessions,
                Qt::UniqueConnection);
        connect(vm, &QuintoraViewModel::activeSessionIDChanged, this, &NavigationSidebarView::restyle,
                Qt::UniqueConnection);
        connect(vm, &QuintoraViewModel::isStreamingChanged, this, &NavigationSidebarView::restyle,
                Qt::UniqueConnection);
    }
    newChat_->setEnabled(model_.controller() != nullptr);
    rebuildSessions();
}

void NavigationSidebarView::rebuildSessions() {
    for (SidebarRow* row : sessionRows_) row->deleteLater();
    sessionRows_.clear();
    if (QuintoraViewModel* vm = model_.controller()) {
        auto* container = sessionsLayout_->parentWidget();
        int index = 0;
        for (const ChatSessionRef& session : vm->sessions()) {
            const QString title = SidebarModel::sessionTitle(session);
            auto* row = new SidebarRow({QStringLiteral("bubble.left"), 12.5, 18, 8, 6, true, true, false}, title,
                                       container);
            row->setToolTip(title);
            row->setAccessibleName(title);
            connect(row, &SidebarRow::clicked, &model_, [this, id = session.id] { model_.selectSession(id); });
            sessionsLayout_->insertWidget(index++, row);
            sessionRows_.push_back(row);
        }
    }
    restyle();
}

void NavigationSidebarView::restyle() {
    const QColor cyan = ThemeSnapshot::palette.cyan;
    newChat_->setLook(false, cyan, cyan, QFont::DemiBold);
    for (auto [route, row] : routeRows_) {
        const bool active = model_.isActive(route);
        row->setLook(active, active ? cyan : secondary(this), active ? cyan : secondary(this),
                     active ? QFont::DemiBold : QFont::Normal);
    }
    if (QuintoraViewModel* vm = model_.controller()) {
        for (size_t i = 0; i < sessionRows_.size() && i < vm->sessions().size(); ++i) {
            const bool active = model_.isActive(vm->sessions()[i]);
            sessionRows_[i]->setLook(active, active ? cyan : secondary(this), active ? primary(this) : secondary(this),
                                     active ? QFont::Medium : QFont::Normal);
        }
        mark_->setActive(vm->isStreaming());
    }
    appearance_->setLook(false, secondary(this), secondary(this), QFont::Normal);
    appearance_->setSwatch(cyan);
    QPalette labelPalette = recent_->palette();
    labelPalette.setColor(QPalette::WindowText, tertiary(this));
    recent_->setPalette(labelPalette);
}

void NavigationSidebarView::openAppearance() {
    if (appearanceSheet_) return;
    appearanceSheet_ = new PlaceholderSheet(QStringLiteral("paintpalette"), QStringLiteral("Appearance"), window());
    appearanceSheet_->setAttribute(Qt::WA_DeleteOnClose);
    connect(appearanceSheet_, &PlaceholderSheet::closed, this, [this] { appearanceSheet_ = nullptr; });
    appearanceSheet_->open();
}

} // namespace vivirov

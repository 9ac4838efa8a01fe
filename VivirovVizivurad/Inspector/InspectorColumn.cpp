#include "VivirovVizivurad/Inspector/InspectorColumn.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/RoutePlaceholder.h"
#include "VivirovVizivurad/Appearance/Symbols.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "VivirovVizivurad/Inspector/RuzorAvirTab.h"

namespace vivirov {
namespace {

using Tab = ContentViewModel::InspectorTab;
constexpr Tab kTabs[2] = {Tab::activity, Tab::neuro};

} // namespace

InspectorColumn::InspectorColumn(ContentViewModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("neuro-inspector"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(16, 24, 16, 0);
    header->setSpacing(8);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    auto* segments = new QHBoxLayout;
    segments->setSpacing(0);
    for (int i = 0; i < 2; ++i) {
        auto* segment = new QToolButton(this);
        segment->setText(ContentViewModel::tabTitle(kTabs[i]));
        segment->setCheckable(true);
        segment->setAutoRaise(true);
        group->addButton(segment, i);
        segments->addWidget(segment);
        tabs_[i] = segment;
    }
    header->addLayout(segments);
    header->addStretch(1);
    auto* hide = new QToolButton(this);
    hide->setIcon(Symbols::icon(QStringLiteral("sidebar.right"), palette().color(QPalette::PlaceholderText), 12));
    hide->setAutoRaise(true);
    hide->setToolTip(QStringLiteral("Hide inspector (Ctrl+Shift+I)"));
    hide->setAccessibleName(QStringLiteral("Hide inspector"));
    hide_ = hide;
    header->addWidget(hide_);
    layout->addLayout(header);

    pages_ = new QStackedWidget(this);
    // The live activity feed arrives with the dashboards work.
    activity_ = new RoutePlaceholder(QStringLiteral("list.bullet.rectangle"), QStringLiteral("MISSION CONTROL"), pages_);
    activity_->setObjectName(QStringLiteral("mission-control"));
    ruzorAvir_ = new RuzorAvirTab(VizivuradEngine::shared(), model_.swarm(), model_.controller(), pages_);
    pages_->addWidget(activity_);
    pages_->addWidget(ruzorAvir_);
    layout->addWidget(pages_, 1);

    connect(group, &QButtonGroup::idClicked, this, [this](int id) { model_.setInspectorTab(kTabs[id]); });
    connect(hide_, &QAbstractButton::clicked, this, [this] { model_.setInspectorPresented(false); });
    connect(&model_, &ContentViewModel::inspectorTabChanged, this, &InspectorColumn::showTab);
    showTab();
}

QAbstractButton* InspectorColumn::tabButton(int index) const { return tabs_[index]; }

QWidget* InspectorColumn::currentTab() const { return pages_->currentWidget(); }

void InspectorColumn::showTab() {
    const int index = model_.inspectorTab() == Tab::activity ? 0 : 1;
    tabs_[index]->setChecked(true);
    pages_->setCurrentIndex(index);
}

} // namespace vivirov

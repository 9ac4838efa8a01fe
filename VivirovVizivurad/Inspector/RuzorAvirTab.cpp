#include "VivirovVizivurad/Inspector/RuzorAvirTab.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "VivirovVizivurad/App/RoutePlaceholder.h"
#include "VivirovVizivurad/Appearance/SystemFont.h"
#include "VivirovVizivurad/Appearance/ThemeSnapshot.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/ChatColumn/ViewPaint.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "VivirovVizivurad/Inspector/InspectorFigures.h"
#include "VivirovVizivurad/Inspector/StatCell.h"

namespace vivirov {
namespace {

QLabel* text(const QString& content, const QFont& font, QPalette::ColorRole role, QWidget* parent) {
    auto* label = new QLabel(content, parent);
    label->setFont(font);
    label->setForegroundRole(role);
    return label;
}

void paintCyan(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, ThemeSnapshot::palette.cyan);
    label->setPalette(palette);
}

// A 0.5-point rule in the text colour at a low opacity.
class Hairline : public QWidget {
public:
    Hairline(double alpha, QWidget* parent) : QWidget(parent), alpha_(alpha) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(QRectF(0, 0, width(), 0.5), ViewPaint::primary(this, alpha_));
    }

private:
    double alpha_;
};

QHBoxLayout* row(StatCell* left, StatCell* right) {
    auto* layout = new QHBoxLayout;
    layout->addWidget(left);
    layout->addWidget(right);
    return layout;
}

} // namespace

RuzorAvirTab::RuzorAvirTab(VizivuradEngine& engine, SwarmOrchestrator& swarm, QuintoraViewModel* vm, QWidget* parent)
    : QWidget(parent), engine_(engine), swarm_(swarm), vm_(vm) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);
    // The telemetry dashboard arrives with the dashboards work.
    dashboard_ = new RoutePlaceholder(QStringLiteral("brain"), QStringLiteral("Ruzor-Avir"), this);
    dashboard_->setObjectName(QStringLiteral("ruzor-avir-dashboard"));
    layout->addWidget(dashboard_);

    auto* matrix = new QVBoxLayout;
    matrix->setContentsMargins(16, 0, 16, 0);
    matrix->setSpacing(8);
    QFont titleFont = ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 0.8);
    matrix->addWidget(text(QStringLiteral("MATRIX ACCELERATOR"), titleFont, QPalette::PlaceholderText, this));
    matrix->addWidget(new Hairline(0.07, this));
    hits_ = new StatCell(QStringLiteral("SG HIT"), this);
    misses_ = new StatCell(QStringLiteral("SG MISS"), this);
    tps_ = new StatCell(QStringLiteral("BATCH TPS"), this);
    // The figure is the swarm's paged-out megabytes, so the label names it so.
    swapped_ = new StatCell(QStringLiteral("SWAP MB"), this);
    matrix->addLayout(row(hits_, misses_));
    matrix->addLayout(row(tps_, swapped_));
    phase_ = text(QString(), ThemeSnapshot::ui(11, QFont::Normal, FontDesign::standard), QPalette::WindowText, this);
    phase_->setContentsMargins(0, 2, 0, 0);
    paintCyan(phase_);
    matrix->addWidget(phase_);
    layout->addLayout(matrix);

    auto* enginePanel = new QVBoxLayout;
    enginePanel->setContentsMargins(16, 0, 16, 0);
    enginePanel->setSpacing(4);
    enginePanel->addWidget(text(QStringLiteral("ENGINE"), ThemeSnapshot::ui(10, QFont::DemiBold, FontDesign::rounded),
                                QPalette::PlaceholderText, this));
    model_ = text(QString(), systemFont(10.5 * ThemeSnapshot::scale, QFont::Normal, FontDesign::monospaced),
                  QPalette::WindowText, this);
    status_ = text(QString(), ThemeSnapshot::ui(11, QFont::Normal, FontDesign::standard), QPalette::PlaceholderText,
                   this);
    for (QLabel* label : {model_, status_}) {
        label->setWordWrap(true); // two lines at most: the column is narrow and the texts short
        label->setMaximumHeight(2 * label->fontMetrics().lineSpacing() + 2);
        enginePanel->addWidget(label);
    }
    layout->addLayout(enginePanel);
    layout->addStretch(1);

    connect(&engine_, &VizivuradEngine::telemetryChanged, this, &RuzorAvirTab::refresh);
    connect(&swarm_, &SwarmOrchestrator::swappedMBChanged, this, &RuzorAvirTab::refresh);
    connect(&swarm_, &SwarmOrchestrator::drivesChanged, this, &RuzorAvirTab::refresh);
    if (vm_) connect(vm_, &QuintoraViewModel::isStreamingChanged, this, &RuzorAvirTab::refresh);
    refresh();
}

StatCell* RuzorAvirTab::cell(const QString& label) const {
    for (StatCell* each : {hits_, misses_, tps_, swapped_})
        if (each->label() == label) return each;
    return nullptr;
}

OrbState RuzorAvirTab::orbState() const { return InspectorFigures::orbState(vm_ && vm_->isStreaming(), swarm_.tps()); }

void RuzorAvirTab::refresh() {
    const InspectorFigures figures = InspectorFigures::from(engine_.telemetry(), swarm_.swappedMB());
    hits_->setValue(figures.sgHits);
    misses_->setValue(figures.sgMisses);
    tps_->setValue(figures.batchTPS);
    swapped_->setValue(figures.swappedMB);
    phase_->setText(figures.phase);
    model_->setText(figures.modelName);
    status_->setText(figures.batchStatus);
}

} // namespace vivirov

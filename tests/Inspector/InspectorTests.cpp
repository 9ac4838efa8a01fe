#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QTest>

#include "VivirovVizivurad/App/ContentViewModel.h"
#include "VivirovVizivurad/App/NavigationRouter.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "VivirovVizivurad/Inspector/InspectorColumn.h"
#include "VivirovVizivurad/Inspector/InspectorFigures.h"
#include "VivirovVizivurad/Inspector/RuzorAvirTab.h"
#include "VivirovVizivurad/Inspector/StatCell.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

using Tab = ContentViewModel::InspectorTab;

TEST(InspectorFigures, FormatsTheEngineTelemetry) {
    VizivuradEngine::Telemetry engine;
    InspectorFigures figures = InspectorFigures::from(engine, 0);
    EXPECT_EQ(figures.sgHits, "0");
    EXPECT_EQ(figures.sgMisses, "0");
    EXPECT_EQ(figures.batchTPS, "0.0");
    EXPECT_EQ(figures.swappedMB, "0");
    EXPECT_EQ(figures.phase, "IDLE");
    EXPECT_EQ(figures.modelName, "(none)");
    EXPECT_EQ(figures.batchStatus, "(not measured)");

    engine.matrixSgHits = 18446744073709551615ull;
    engine.lastBatchTPS = 12.34;
    engine.generationPhase = GenerationPhase::generating;
    figures = InspectorFigures::from(engine, 512.6);
    EXPECT_EQ(figures.sgHits, "18446744073709551615");
    EXPECT_EQ(figures.batchTPS, "12.3");
    EXPECT_EQ(figures.swappedMB, "513");
    EXPECT_EQ(figures.phase, "GENERATING");

    for (auto [path, name] : {std::pair{"scaffold://no-model", "no-model"},
                              {"/home/u/models/m-Q4.gguf", "m-Q4.gguf"},
                              {"(none)", "(none)"},
                              {"/models/dir/", "dir"}})
        EXPECT_EQ(InspectorFigures::modelFileName(QString::fromUtf8(path)), name) << path;
}

TEST(InspectorFigures, OrbGeneratesWhileStreamingOrWhileTokensFlow) {
    struct Case {
        bool streaming;
        double tps;
        OrbState orb;
    };
    for (const Case& c : {Case{true, 0, OrbState::generating}, Case{false, 3.5, OrbState::generating},
                          Case{true, 2, OrbState::generating}, Case{false, 0, OrbState::idle}})
        EXPECT_EQ(InspectorFigures::orbState(c.streaming, c.tps), c.orb) << c.streaming << " " << c.tps;
}

class Inspector : public ::testing::Test {
protected:
    Inspector() {
        qtApp();
        VizivuradEngine::shared().setTelemetry({});
        column = std::make_unique<InspectorColumn>(model);
        column->resize(300, 800);
        column->show();
    }
    RuzorAvirTab& tab() { return *column->ruzorAvirTab(); }

    NavigationRouter router;
    SwarmOrchestrator swarm;
    ContentViewModel model{router, swarm};
    std::unique_ptr<InspectorColumn> column;
};

TEST_F(Inspector, ShowsTheDefaultsAndFollowsTheEngine) {
    EXPECT_EQ(tab().cell("SG HIT")->value(), "0");
    EXPECT_EQ(tab().cell("SG MISS")->value(), "0");
    EXPECT_EQ(tab().cell("BATCH TPS")->value(), "0.0");
    EXPECT_EQ(tab().cell("SWAP MB")->value(), "0");
    EXPECT_EQ(tab().phaseLabel()->text(), "IDLE");
    EXPECT_EQ(tab().modelLabel()->text(), "(none)");
    EXPECT_EQ(tab().statusLabel()->text(), "(not measured)");
    EXPECT_EQ(tab().orbState(), OrbState::idle);

    VizivuradEngine::Telemetry live;
    live.activeModelPath = QString::fromUtf8(VizivuradEngine::kScaffoldPath);
    live.lastBatchTPS = 12.34;
    VizivuradEngine::shared().setTelemetry(live);
    swarm.setSwappedMB(512.6);
    EXPECT_EQ(tab().modelLabel()->text(), "no-model");
    EXPECT_EQ(tab().cell("BATCH TPS")->value(), "12.3");
    EXPECT_EQ(tab().cell("SWAP MB")->value(), "513");
    VizivuradEngine::shared().setTelemetry({});
}

TEST_F(Inspector, TabsSwitchAndSurviveHidingAndRebuilding) {
    EXPECT_EQ(column->tabButton(0)->text(), "Activity");
    EXPECT_EQ(column->tabButton(1)->text(), "Ruzor-Avir");
    EXPECT_EQ(column->currentTab(), column->activityTab());
    QTest::mouseClick(column->tabButton(1), Qt::LeftButton);
    EXPECT_EQ(model.inspectorTab(), Tab::neuro);
    EXPECT_EQ(column->currentTab(), column->ruzorAvirTab());

    EXPECT_EQ(column->hideButton()->toolTip(), "Hide inspector (Ctrl+Shift+I)");
    QTest::mouseClick(column->hideButton(), Qt::LeftButton);
    EXPECT_FALSE(model.isInspectorPresented());
    model.setInspectorPresented(true);
    column = std::make_unique<InspectorColumn>(model); // the window rebuilds the column
    EXPECT_EQ(column->currentTab(), column->ruzorAvirTab());
    EXPECT_TRUE(column->tabButton(1)->isChecked());
}

} // namespace
} // namespace vivirov::test

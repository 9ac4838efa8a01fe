#pragma once
#include <QWidget>

#include "VivirovVizivurad/Appearance/OrbState.h"

class QLabel;

namespace vivirov {

class QuintoraViewModel;
class RoutePlaceholder;
class StatCell;
class SwarmOrchestrator;
class VizivuradEngine;

// The inspector's "Ruzor-Avir" tab: the telemetry dashboard, the matrix
// accelerator figures and the engine's model and last batch status, read
// afresh whenever the engine, the swarm or the controller publish.
class RuzorAvirTab : public QWidget {
    Q_OBJECT
public:
    RuzorAvirTab(VizivuradEngine& engine, SwarmOrchestrator& swarm, QuintoraViewModel* vm, QWidget* parent = nullptr);

    StatCell* cell(const QString& label) const;
    QLabel* phaseLabel() const { return phase_; }
    QLabel* modelLabel() const { return model_; }
    QLabel* statusLabel() const { return status_; }
    OrbState orbState() const;

private:
    void refresh();

    VizivuradEngine& engine_;
    SwarmOrchestrator& swarm_;
    QuintoraViewModel* vm_;
    RoutePlaceholder* dashboard_;
    StatCell* hits_;
    StatCell* misses_;
    StatCell* tps_;
    StatCell* swapped_;
    QLabel* phase_;
    QLabel* model_;
    QLabel* status_;
};

} // namespace vivirov

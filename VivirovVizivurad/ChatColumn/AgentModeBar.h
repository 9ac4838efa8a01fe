#pragma once
#include <QWidget>

#include <functional>
#include <vector>

#include "VivirovVizivurad/Chat/AgentMode.h"

namespace vivirov {

class AgentModeSegment;

// A segmented capsule for the turn mode: Ask, Agent, Plan. It shows the
// bound value and writes a clicked segment's mode back through `write`.
class AgentModeBar : public QWidget {
    Q_OBJECT
public:
    AgentModeBar(std::function<AgentMode()> read, std::function<void(AgentMode)> write, QWidget* parent = nullptr);

    // Reads the bound value again (call when it changed elsewhere).
    void refresh();
    QWidget* segment(AgentMode mode) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<AgentMode()> read_;
    std::function<void(AgentMode)> write_;
    std::vector<AgentModeSegment*> segments_;
};

} // namespace vivirov

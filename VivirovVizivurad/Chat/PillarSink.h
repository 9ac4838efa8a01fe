#pragma once
#include <functional>
#include <memory>

#include "VivirovVizivurad/Chat/AgenticUISinkBox.h"

namespace vivirov {

class PillarContext;

// The sink through which an agentic run shows itself in a pillar: streamed
// text goes into the coalescer under the turn's epoch; a context summary
// becomes a row of its own; tool starts and results become tool rows, in
// the order the run reports them. Row changes are posted to the GUI thread
// and skipped once `alive` (asked there) says the pillar's owner is gone.
std::shared_ptr<AgenticUISinkBox> makePillarSink(PillarContext& pillar, int epoch, std::function<bool()> alive);

} // namespace vivirov

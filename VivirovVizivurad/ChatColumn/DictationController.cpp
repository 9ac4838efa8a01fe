#include "VivirovVizivurad/ChatColumn/DictationController.h"

namespace vivirov {

void DictationController::setState(State state) {
    if (state == state_) return;
    state_ = std::move(state);
    emit stateChanged();
}

UnavailableDictation::UnavailableDictation(QObject* parent) : DictationController(parent) {
    setState({Kind::unavailable, reason});
}

void UnavailableDictation::start() { setState({Kind::unavailable, reason}); }

} // namespace vivirov

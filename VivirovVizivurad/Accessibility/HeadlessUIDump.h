#pragma once

namespace vivirov {

// The launch-time Accessibility self-check: with VIVIROV_UIDUMP set (its
// value names the app to dump, empty for the frontmost one) it prints the
// service's state, the running apps and the app's UI map to standard output,
// places the window of the app VIVIROV_UIPLACE names on the left half, and
// ends the process with status 0. Otherwise it returns at once.
// Call on the GUI thread once the application object exists.
void runHeadlessDumpIfRequested();

} // namespace vivirov

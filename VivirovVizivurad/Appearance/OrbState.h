#pragma once

namespace vivirov {

// The status orb's states, as the telemetry dashboard draws them.
enum class OrbState { idle, thinking, generating, swarmConsensus, error };

} // namespace vivirov

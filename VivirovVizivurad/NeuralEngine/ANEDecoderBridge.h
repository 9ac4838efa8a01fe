#pragma once
// The decoder as a plain C function for native callers, and the installer
// that hands it to a native registration hook if the process has one.
#include <chrono>
#include <cstdint>

extern "C" {

// The bridge's signature; the hook "ane_cabi_set_decoder" takes one of these
// and a context pointer (always null here).
typedef bool (*vivirov_ane_decode_fn)(int32_t, int32_t, uint64_t, const float*, int32_t, float*, int32_t, void*);
typedef void (*vivirov_ane_set_decoder_fn)(vivirov_ane_decode_fn decoder, void* context);

// Decodes `latent` (zDim floats) into `out` (outCount floats) with the shared
// decoder, waiting at most 5 s on the process clock. The first three
// arguments and the last are accepted and not used. False on bad arguments,
// a missing model, a failed decode or a time-out; after a time-out the late
// result is dropped and `out` is never written. Never call it on the
// decoder's own queue.
bool vivirov_ane_decode_bridge(int32_t, int32_t, uint64_t, const float* latent, int32_t zDim, float* out,
                               int32_t outCount, void*);
}

namespace vivirov {

inline constexpr std::chrono::seconds aneDecodeBridgeTimeout{5};

} // namespace vivirov

// Looks up "ane_cabi_set_decoder" in the running process and, when found,
// registers the bridge with it. Logs which of the two happened.
void vivirov_ane_install_cabi();

#include "VivirovVizivurad/NeuralEngine/ANEDecoderBridge.h"

#include <dlfcn.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <stop_token>
#include <variant>
#include <vector>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovVizivurad/NeuralEngine/ANENeuralDecompress.h"

namespace {

// Shared by the waiting caller and the completion, which may outlive it.
struct BridgeWait {
    std::mutex mutex;
    bool callerWaiting = true;
    bool succeeded = false;
    float* out;
    int32_t outCount;
    std::stop_source done;
};

} // namespace

extern "C" bool vivirov_ane_decode_bridge(int32_t, int32_t, uint64_t, const float* latent, int32_t zDim, float* out,
                                          int32_t outCount, void*) {
    if (!latent || !out || zDim <= 0 || outCount <= 0) return false;
    auto wait = std::make_shared<BridgeWait>();
    wait->out = out;
    wait->outCount = outCount;
    vivirov::ANENeuralDecompress::shared().decodeAsync(
        std::vector<float>(latent, latent + zDim), outCount, [wait](vivirov::ANENeuralDecompress::DecodeResult result) {
            {
                std::lock_guard lock(wait->mutex);
                // `out` belongs to the caller only while it still waits.
                if (wait->callerWaiting) {
                    if (auto* values = std::get_if<std::vector<float>>(&result)) {
                        const size_t copied = std::min(values->size(), size_t(wait->outCount));
                        std::copy_n(values->begin(), copied, wait->out);
                        std::fill(wait->out + copied, wait->out + wait->outCount, 0.0f);
                        wait->succeeded = true;
                    }
                }
            }
            wait->done.request_stop();
        });
    vivirov::Clock::current().sleepFor(
        uint64_t(std::chrono::nanoseconds(vivirov::aneDecodeBridgeTimeout).count()), wait->done.get_token());
    std::lock_guard lock(wait->mutex);
    wait->callerWaiting = false;
    return wait->succeeded;
}

void vivirov_ane_install_cabi() {
    void* self = dlopen(nullptr, RTLD_LAZY);
    void* hook = self ? dlsym(self, "ane_cabi_set_decoder") : nullptr;
    if (hook) {
        reinterpret_cast<vivirov_ane_set_decoder_fn>(hook)(&vivirov_ane_decode_bridge, nullptr);
        vivirov::logLine("[ANENeuralDecompress] C-ABI decoder installed");
    } else {
        vivirov::logLine("[ANENeuralDecompress] ane_cabi_set_decoder not linked — SVD/VQ path only");
    }
    if (self) dlclose(self);
}

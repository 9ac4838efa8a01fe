// Placeholder definitions of the dense decode members, so the engine links
// before the dense model code lands. The dense decode files replace this file
// whole (delete it when adding them).
#include <cstring>
#include <stdexcept>
#include <string>

#include "vm_v2/vm_engine_v2.h"

namespace vivirov {

class DKVHashTable {};

int32_t VMEngineV2::forward_one_cpu_dense(ActiveSequence&) {
    throw std::runtime_error("dense decode path not built");
}
int32_t VMEngineV2::forward_one_gpu(ActiveSequence&) { throw std::runtime_error("dense decode path not built"); }
int32_t VMEngineV2::forward_one_gpu_billm(ActiveSequence& seq) { return forward_one_gpu(seq); }
void VMEngineV2::embed(int, float* out) { std::memset(out, 0, sizeof(float) * size_t(n_embd_)); }
void VMEngineV2::deq_q8_0(const uint8_t*, float* out) { std::memset(out, 0, sizeof(float) * 32); }
std::string VMEngineV2::blk(int layer, const char* name) { return "blk." + std::to_string(layer) + "." + name; }
void VMEngineV2::matmul(const GGUFTensor*, const float*, float*) {}
void VMEngineV2::fmm(const GGUFTensor*, void*, size_t, void*, size_t) {
    throw std::runtime_error("dense decode path not built");
}
void VMEngineV2::kv_open_(uint32_t) {}
void VMEngineV2::kv_forget_(uint32_t, int32_t) {}
void VMEngineV2::DKVDelete::operator()(DKVHashTable* table) const { delete table; }

} // namespace vivirov

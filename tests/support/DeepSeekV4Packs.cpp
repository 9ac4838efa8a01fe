#include "tests/support/DeepSeekV4Packs.h"

#include <stdexcept>

#include "tests/Kernels/ReferenceDecoder.h"
#include "tests/support/Om2Writer.h"

namespace vivirov::test {

std::vector<float> deepSeekV4ExpertMatrix(const DeepSeekV4Model& model, const std::string& name, int expert,
                                          int& rows, int& cols) {
    const auto& t = model.tensors.at(name);
    if (t.dims.size() != 3) throw std::invalid_argument(name + " is not a fused expert tensor");
    cols = int(t.dims[0]);
    rows = int(t.dims[1]);
    const size_t each = t.bytes.size() / t.dims[2];
    const auto* p = reinterpret_cast<const uint8_t*>(t.bytes.data()) + size_t(expert) * each;
    return refDecode(t.type, p, uint64_t(rows) * uint64_t(cols));
}

int writeDeepSeekV4Packs(const DeepSeekV4Model& model, const std::string& dir, std::vector<int> layers) {
    int nLayer = 0;
    while (model.tensors.count("blk." + std::to_string(nLayer) + ".ffn_up_exps.weight")) ++nLayer;
    if (layers.empty())
        for (int il = 0; il < nLayer; ++il) layers.push_back(il);
    int written = 0;
    for (int il : layers) {
        const std::string b = "blk." + std::to_string(il) + ".";
        const int experts = int(model.tensors.at(b + "ffn_up_exps.weight").dims[2]);
        for (int e = 0; e < experts; ++e)
            for (const char* proj : {"up", "gate", "down"}) {
                int rows = 0, cols = 0;
                const auto W = deepSeekV4ExpertMatrix(model, b + "ffn_" + proj + "_exps.weight", e, rows, cols);
                Om2Writer w = Om2Writer::fullRank(W, uint32_t(rows), uint32_t(cols));
                w.layer = il;
                w.expert = e;
                w.write(dir + "/" + om2FileName(proj, il, e));
                ++written;
            }
    }
    return written;
}

} // namespace vivirov::test

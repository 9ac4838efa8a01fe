#include "tests/ZOV4Forward/ForwardTestSupport.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "engine/vm_cabi_v2/dequant.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

namespace {

// As root the default wired expert ring (8 GiB) would really be locked in
// memory: every model of these tests gets a small one.
const bool kSmallRing = [] {
    setenv("VIVIROV_UVM_RING_MB", "4", 1);
    return true;
}();

} // namespace

const DeepSeekV4Model& sharedDeepSeekV4Model(const std::string& name, const DeepSeekV4Options& options) {
    static TempDir dir;
    static std::mutex mu;
    static std::map<std::string, DeepSeekV4Model> models;
    std::lock_guard lock(mu);
    auto it = models.find(name);
    if (it == models.end()) it = models.emplace(name, writeDeepSeekV4Model(dir.path(), name, options)).first;
    return it->second;
}

std::unique_ptr<vm::zov4::ZOV4Forward> cpuForward(const std::string& path) {
    (void)kSmallRing;
    auto f = std::make_unique<vm::zov4::ZOV4Forward>(path);
    f->use_gpu = false;
    return f;
}

std::vector<float> decoded(const GGUFTensor& t) {
    uint64_t n = 1;
    for (uint64_t d : t.dims) n *= d;
    std::vector<float> v(n);
    vm::dequant_tensor(t.type, t.data, v.data(), n);
    return v;
}

} // namespace vivirov::test

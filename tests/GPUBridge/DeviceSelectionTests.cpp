// Initialisation in fresh processes: no device, a refused software device,
// and broken kernel modules.
#include "GpuTestSupport.h"
#include "engine/vm_gpu_bridge/shader_library.h"
#include "tests/support/StderrCapture.h"
#include "vm_gpu.h"

#include <string>
#include <vector>

using namespace gputest;
using vivirov::test::StderrCapture;

namespace {

// After a failed initialisation every entry point fails at once and silently.
void expect_unavailable_and_silent() {
    StderrCapture err;
    EXPECT_EQ(vm_gpu_bridge_init(), 0);
    EXPECT_FALSE(vmb_fusion_available());
    std::vector<uint8_t> a(144 * 2, 0);
    std::vector<float> b(256 * 8, 1.0f), c(16, 3.0f);
    EXPECT_FALSE(vm_gpu_matmul_q4_k(nullptr, 0, a.data(), a.size(), nullptr, 0, b.data(), c.data(), 2, 256, 8));
    EXPECT_FALSE(vm_gpu_matmul_q8_0(nullptr, 0, a.data(), 34, nullptr, 0, b.data(), c.data(), 1, 32, 1));
    EXPECT_EQ(vm_gpu_matmul(nullptr, 0, b.data(), nullptr, 0, b.data(), c.data(), 2, 2, 2), 0);
    float x[2] = {1, 2};
    EXPECT_FALSE(vm_gpu_teal_threshold(x, 2, 0.5f, nullptr));
    EXPECT_EQ(vmb_persistent_alloc(64), nullptr);
    EXPECT_EQ(vmb_shared_event_create(), nullptr);
    vmb_command_buffer_begin();
    EXPECT_EQ(vmb_command_buffer_handle(), nullptr);
    EXPECT_EQ(vm_gpu_register_dense("k", b.data(), 64, 0), nullptr);
    EXPECT_EQ(c[0], 3.0f);
    const std::string text = err.text();
    EXPECT_EQ(text.find("[vmb] no Vulkan device"), std::string::npos) << text;
}

} // namespace

TEST(GpuDeviceSelection, HiddenDeviceLeavesTheBridgeUnavailable) {
    EXPECT_IN_CHILD({
        setenv("VK_ICD_FILENAMES", "/nonexistent/icd.json", 1);
        {
            StderrCapture err;
            EXPECT_EQ(vm_gpu_bridge_init(), 0);
            EXPECT_EQ(err.text(), "[vmb] no Vulkan device\n");
        }
        expect_unavailable_and_silent();
    });
}

TEST(GpuDeviceSelection, SoftwareDeviceNeedsTheSwitch) {
    EXPECT_IN_CHILD({
        unsetenv("VIVIROV_GPU_ALLOW_CPU");
        setenv("VK_ICD_FILENAMES", "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json", 1);
        StderrCapture err;
        EXPECT_EQ(vm_gpu_bridge_init(), 0);
        EXPECT_EQ(err.text(), "[vmb] no Vulkan device\n");
    });
}

TEST(GpuDeviceSelection, CorruptModuleFailsInitialisation) {
    EXPECT_IN_CHILD({
        std::vector<uint32_t> words(vmgpu::module_words("silu_mul").begin(), vmgpu::module_words("silu_mul").end());
        words.resize(words.size() / 2); // cut inside an instruction
        words.back() = 0xFFFF0001u;
        vmgpu::replace_module_for_testing("silu_mul", words);
        StderrCapture err;
        EXPECT_EQ(vm_gpu_bridge_init(), 0);
        EXPECT_EQ(err.text().rfind("[vmb] shader compile failed: silu_mul: ", 0), 0u) << err.text();
        expect_unavailable_and_silent();
    });
}

TEST(GpuDeviceSelection, RequiredAndOptionalKernels) {
    EXPECT_IN_CHILD({
        vmgpu::replace_module_for_testing("cold_gemv", {});
        StderrCapture err;
        EXPECT_EQ(vm_gpu_bridge_init(), 0);
        EXPECT_EQ(err.text(), "[vmb] missing kernel function\n");
    });
    EXPECT_IN_CHILD({
        vmgpu::replace_module_for_testing("rope_bias", {});
        vmgpu::replace_module_for_testing("fused_q8_lane_sg", {});
        StderrCapture err;
        EXPECT_EQ(vm_gpu_bridge_init(), 1);
        EXPECT_FALSE(vmb_fusion_available()) << "a dense kernel is missing";
        const std::string text = err.text();
        EXPECT_NE(text.find("[vmb] fused_q8_lane_sg function missing\n"
                            "[vmb] HOLY_GRAIL fused_q4k_lane=YES fused_q8_lane=NO (VIVIROV_FUSED_LANE opt-out=0)\n"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("[vmb] rope_bias function missing\n"), std::string::npos) << text;
        // Q8_0 products still run, on the two-pass or per-element kernels.
        std::mt19937 rng(1);
        std::vector<uint8_t> a = random_rows(kQ8_0, 3, 64, rng);
        std::vector<float> b = random_floats(64 * 8, rng), c(24);
        EXPECT_TRUE(vm_gpu_matmul_q8_0(nullptr, 0, a.data(), a.size(), nullptr, 0, b.data(), c.data(), 3, 64, 8));
        expect_matches(reference_product(dequantise(kQ8_0, a.data(), 3, 64), b.data(), 3, 64, 8), c.data(), 3, 8,
                       "q8_0");
    });
}

// The int8 and KIVI key-value modes of a session against the full-precision
// rows of the same model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "engine/vm_cabi/half.h"
#include "engine/vm_cabi/kivi_pos_codec.h"
#include "engine/vm_cabi/vm_engine_core.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;

namespace {

class SessionModes : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VIVIROV_VM_MLOCK", "0", 1);
        path_ = QwenModel(QwenShape{}).writer().write(dir_.file("m.gguf"));
    }
    void TearDown() override {
        unsetenv("VIVIROV_VM_MLOCK");
        unsetenv("KIVI_WINDOW");
        unsetenv("KIVI_FRAC");
    }

    // Runs `n` positions of a fixed token sequence; returns each position's logits.
    static std::vector<std::vector<float>> run(VMEngine& e, VMEngine::Session& s, int n) {
        std::vector<std::vector<float>> out;
        std::vector<float> logits;
        for (int pos = 0; pos < n; ++pos) {
            e.forward_token_into(s, 40 + (pos * 7) % 200, pos, logits);
            out.push_back(logits);
        }
        return out;
    }

    static double maxDiff(const std::vector<float>& a, const std::vector<float>& b) {
        double m = 0;
        for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(double(a[i]) - double(b[i])));
        return m;
    }

    TempDir dir_;
    std::string path_;
};

} // namespace

TEST_F(SessionModes, Int8RowsStayCloseToFullPrecision) {
    VMEngine e(path_);
    auto exact = run(e, e.session, 12);
    VMEngine::Session s8;
    e.init_session(s8, 64, true, false);
    auto coarse = run(e, s8, 12);
    for (int pos = 0; pos < 12; ++pos) {
        double scale = 0;
        for (float v : exact[size_t(pos)]) scale = std::max(scale, std::fabs(double(v)));
        EXPECT_LT(maxDiff(coarse[size_t(pos)], exact[size_t(pos)]), 0.02 * scale) << pos;
    }

    // Each stored code is the value over the head's scale, rounded half away
    // from zero (layer 0's keys depend only on the token and position).
    const size_t hd = size_t(e.head_dim);
    for (int pos = 0; pos < 12; ++pos)
        for (int h = 0; h < e.n_head_kv; ++h) {
            size_t c = size_t(pos) * size_t(e.n_head_kv) + size_t(h);
            const float* k = e.session.k_f32[0].data() + c * hd;
            float amax = 0;
            for (size_t i = 0; i < hd; ++i) amax = std::max(amax, std::fabs(k[i]));
            ASSERT_EQ(s8.k_q8_scale[0][c], amax / 127.0f);
            for (size_t i = 0; i < hd; ++i)
                ASSERT_EQ(s8.k_q8[0][c * hd + i], int8_t(std::round(k[i] * (1.0f / (amax / 127.0f)))));
        }

    // A head whose keys are all zero gets scale 1 and zero codes.
    std::fill(e.layers[0].wk.data.begin(), e.layers[0].wk.data.end(), 0.0f);
    std::fill(e.layers[0].bk.begin(), e.layers[0].bk.end(), 0.0f);
    VMEngine::Session z;
    e.init_session(z, 8, true, false);
    run(e, z, 2);
    EXPECT_EQ(z.k_q8_scale[0][0], 1.0f);
    for (size_t i = 0; i < hd; ++i) EXPECT_EQ(z.k_q8[0][i], 0);
}

TEST_F(SessionModes, KiviKeepsRecentPositionsInTheWindowAndEncodesOlderOnes) {
    VMEngine e(path_);
    run(e, e.session, 10);
    setenv("KIVI_WINDOW", "4", 1);
    setenv("KIVI_FRAC", "0.25", 1);
    VMEngine::Session s;
    e.init_session(s, 64, false, true);
    ASSERT_EQ(s.window, 4);
    ASSERT_EQ(s.n_outliers, 4); // 0.25 × head_dim 16
    run(e, s, 10);

    const size_t hd = size_t(e.head_dim), n = size_t(s.n_outliers);
    for (int pos = 0; pos < 10; ++pos)
        for (int h = 0; h < e.n_head_kv; ++h) {
            size_t c = size_t(pos) * size_t(e.n_head_kv) + size_t(h);
            const float* exact = e.session.v_f32[0].data() + c * hd;
            if (pos < 6) {
                // Left the window when position pos + 4 took its slot: encoded
                // from the f16 copy, within half a step.
                std::vector<float> row(hd);
                kivi::decode_row(s.v_codes[0].data() + c * (hd / 4), s.v_scale[0][c], s.v_zero[0][c],
                                 s.v_out_pos[0].data() + c * n, s.v_out_val[0].data() + c * n, int(hd), int(n),
                                 row.data());
                for (size_t i = 0; i < hd; ++i)
                    EXPECT_NEAR(row[i], exact[i], s.v_scale[0][c] * 0.5f + 1e-3f) << pos << " " << i;
            } else {
                EXPECT_EQ(s.v_scale[0][c], 0.0f) << "position " << pos << " should still be in the window";
                const uint16_t* slot = s.v_window[0].data() + size_t(pos % 4) * size_t(e.kv_dim) + size_t(h) * hd;
                for (size_t i = 0; i < hd; ++i) EXPECT_EQ(slot[i], vm::float_to_half(exact[i]));
            }
        }
}

TEST_F(SessionModes, KiviWithAWideWindowMatchesFullPrecisionToHalfPrecision) {
    VMEngine e(path_);
    auto exact = run(e, e.session, 10);
    VMEngine::Session s;
    e.init_session(s, 64, false, true); // window 128 holds every position
    auto windowed = run(e, s, 10);
    for (int pos = 0; pos < 10; ++pos) EXPECT_LT(maxDiff(windowed[size_t(pos)], exact[size_t(pos)]), 5e-3) << pos;
}

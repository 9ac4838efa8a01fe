// Edge cases of the dense step's CPU arithmetic.
#include "engine/vm_v2/dense_math.h"

#include <gtest/gtest.h>

#include <vector>

using namespace vivirov::dense;

TEST(DenseMath, ArgmaxTakesTheFirstMaximum) {
    struct Case {
        std::vector<float> v;
        int32_t best;
    } cases[] = {
        {{0, 0, 0, 0, 0, 3, 1, 2, 1, 3}, 5},
        {{7}, 0},
        {{}, 0},
        {{-5, -1, -1}, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(argmax(c.v.data(), int32_t(c.v.size())), c.best);
}

// With one cached position every query head's output is its key/value
// head's value row, whatever the scores.
TEST(DenseMath, FirstPositionAttendsToItsOwnValues) {
    const int32_t heads = 4, kv_heads = 2, hd = 8;
    std::vector<float> q(heads * hd), k(kv_heads * hd), v(kv_heads * hd), out(heads * hd);
    for (size_t i = 0; i < q.size(); ++i) q[i] = float(i) * 0.3f - 2;
    for (size_t i = 0; i < k.size(); ++i) k[i] = float(i) * -0.7f, v[i] = float(i) + 0.5f;
    attention(q.data(), k.data(), v.data(), 1, heads, kv_heads, hd, out.data());
    for (int32_t h = 0; h < heads; ++h)
        for (int32_t i = 0; i < hd; ++i) EXPECT_FLOAT_EQ(out[size_t(h * hd + i)], v[size_t((h / 2) * hd + i)]);
}

TEST(DenseMath, MissingNormWeightPassesTheInputOn) {
    std::vector<float> x = {3, -4, 12}, out(3);
    rms_norm(x.data(), nullptr, 3, 1e-6f, out.data());
    EXPECT_EQ(out, x);
}

// The second-generation engine's dense CPU step and the first-generation
// engine decode the same F32 model to the same greedy tokens.
#include "DenseFixture.h"
#include "engine/vm_cabi/vm_engine_core.h"
#include "tests/support/ScopedEnv.h"

#include <algorithm>

using namespace densetest;

TEST(DenseDecode, AgreesWithTheFirstGenerationEngineOver16Tokens) {
    vivirov::test::TempDir dir;
    vivirov::test::ScopedEnv cpu("VM_NO_FUSE", "1");
    QwenModel m(QwenShape{}); // F32, logits tied to the embedding as the first engine reads them
    const std::string path = writeModel(dir, m, "f32.gguf");

    VMEngine first(path);
    VMEngine::Session session;
    first.init_session(session, 64, false, false);
    std::vector<int> ids = {104, 101, 108, 108, 111};
    std::vector<float> logits;
    const size_t prompt = ids.size();
    for (size_t p = 0; p < prompt + 15; ++p) {
        first.forward_token_into(session, ids[p], int32_t(p), logits);
        if (p + 1 >= prompt)
            ids.push_back(int(std::max_element(logits.begin(), logits.end()) - logits.begin()));
    }
    const std::vector<int> expected(ids.begin() + 5, ids.end());
    ASSERT_EQ(expected.size(), 16u);

    VMEngineV2 second(path.c_str());
    Decoded d = decode(second, Step::Cpu, 1, {104, 101, 108, 108, 111}, 15);
    std::vector<int> got(d.ids.begin() + 5, d.ids.end());
    int last = int(std::max_element(d.logits.back().begin(), d.logits.back().end()) - d.logits.back().begin());
    got.push_back(last);
    EXPECT_EQ(got, expected);
}

#include <gtest/gtest.h>

#include <cmath>

#include "VivirovVizivurad/EngineHost/FastLaneAdvisor.h"
#include "tests/EngineHost/EngineHostFixture.h"

using namespace vivirov;
using namespace vivirov::test;
using Lane = FastLaneVerdict::Lane;

TEST(FastLaneAdvisor, JudgesAFileByItsNeedAndTheHeadroomLeft) {
    const int64_t ram = 16 * kGiB;
    struct Case {
        int64_t fileBytes;
        int64_t ram;
        Lane lane;
    };
    const Case cases[] = {
        {4 * kGiB, ram, Lane::instant},
        {10 * kGiB, ram, Lane::tight}, // fits, but 2.5 GiB is under 30 % of 16 GiB
        {16 * kGiB, ram, Lane::swapBound},
        {0, FastLaneAdvisor::needBytes(0), Lane::tight}, // exactly enough: headroom 0
        {kGiB, FastLaneAdvisor::needBytes(kGiB) - 1, Lane::swapBound},
    };
    for (const auto& c : cases) {
        FastLaneVerdict v = FastLaneAdvisor::assess("m.gguf", c.fileBytes, c.ram);
        EXPECT_EQ(v.lane, c.lane) << c.fileBytes;
        EXPECT_EQ(v.needBytes, int64_t(std::ceil(double(c.fileBytes) * 1.15)) + 2147483648);
        EXPECT_EQ(v.headroomBytes, c.ram - v.needBytes);
    }
    EXPECT_EQ(FastLaneAdvisor::assess("m", 0, ram).needBytes, 2147483648);

    for (Lane lane : {Lane::instant, Lane::tight, Lane::swapBound})
        EXPECT_EQ(FastLaneVerdict::laneFromRaw(FastLaneVerdict::rawValue(lane)), lane);
    EXPECT_EQ(FastLaneVerdict::laneFromRaw("SwapBound"), std::nullopt);
}

class InstalledModelsTest : public EngineHostFixture {};

TEST_F(InstalledModelsTest, FindsEveryGGUFOnceSortedByName) {
    const std::string a = file("data/com.dudive.vivirov/models/org/repo/a.gguf", 8 * kGiB);
    const std::string deep = file("models/deep/er/MODEL.GGUF", 70 * kMiB);
    file("models/model.gguf.download", 70 * kMiB);
    file("Models/x.gguf.part", 70 * kMiB);
    file("Models/.hidden/b.gguf", 8 * kGiB);
    link("Models/alias.gguf", a); // the same file again: listed once, as first found
    EXPECT_EQ(FastLaneAdvisor::installedGGUFs(),
              (std::vector<std::string>{deep, a, home_.file("Models/.hidden/b.gguf")}));
    EXPECT_TRUE(FastLaneAdvisor::installedGGUFs(std::vector<std::string>{}).empty());
    EXPECT_TRUE(FastLaneAdvisor::installedGGUFs(std::vector<std::string>{home_.file("nowhere")}).empty());
}

TEST_F(InstalledModelsTest, AssessesInstalledModelsLargestFirstFrom64MiB) {
    EXPECT_TRUE(FastLaneAdvisor::assessInstalled(16 * kGiB).empty());
    file("Models/b.gguf", 8 * kGiB);
    file("models/a.gguf", 8 * kGiB);
    file("models/z.gguf", 16 * kGiB);
    file("models/edge.gguf", 64 * kMiB);
    file("models/under.gguf", 64 * kMiB - 1);
    std::vector<std::string> names;
    std::vector<Lane> lanes;
    for (const auto& v : FastLaneAdvisor::assessInstalled(16 * kGiB)) {
        names.push_back(std::filesystem::path(v.path).filename().string());
        lanes.push_back(v.lane);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"z.gguf", "a.gguf", "b.gguf", "edge.gguf"}));
    EXPECT_EQ(lanes, (std::vector<Lane>{Lane::swapBound, Lane::tight, Lane::tight, Lane::instant}));
}

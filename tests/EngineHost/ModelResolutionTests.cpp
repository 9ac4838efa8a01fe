// Which model a bootstrap loads, on a private home with sparse model files;
// and the header probe on a table of written and broken headers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "VivirovVizivurad/EngineHost/FastLaneAdvisor.h"
#include "VivirovVizivurad/EngineHost/GGUFArchitectureProbe.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "tests/EngineHost/EngineHostFixture.h"

using namespace vivirov;
using namespace vivirov::test;
using Kind = VizivuradEngine::ResolvedModel::Kind;

namespace {

const std::string kArrow = "\xE2\x86\x92";

class ModelResolutionTest : public EngineHostFixture {
protected:
    std::string coreOnly() const { return home_.file("models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf"); }
    // Larger than this machine's memory, so it is swap-bound.
    int64_t hugeBytes() const { return FastLaneAdvisor::totalRAMBytes() * 2; }
};

} // namespace

TEST_F(ModelResolutionTest, WithNothingToLoadItFallsBackToTheScaffold) {
    StderrCapture capture;
    auto r = VizivuradEngine::resolveModelPath();
    EXPECT_EQ(r.kind, Kind::scaffold);
    EXPECT_EQ(r.summary, "no live GGUF resolved " + kArrow + " scaffold://no-model (tried 2 candidates)");
    EXPECT_NE(capture.text().find("[vizivurad-engine] skip missing path: " + coreOnly() + "\n"), std::string::npos);
    EXPECT_NE(capture.text().find(std::string("[vizivurad-engine] skip missing path: ") +
                                  VizivuradEngine::deepSeekV4ModelPath + "\n"),
              std::string::npos);
}

TEST_F(ModelResolutionTest, ExplicitCandidatesComeFirstAndSkipTheFastLane) {
    const std::string qwen = file("elsewhere/big-qwen.gguf", hugeBytes(), ggufHead("qwen2"));
    const std::string zov4 = file("elsewhere/my-ZOV4-model.gguf", 10);
    const std::string llama = file("elsewhere/llama.gguf", 100, ggufHead("llama"));
    const std::string folder = home_.file("elsewhere");

    {
        ScopedEnv env("VIVIROV_VM_MODEL", zov4);
        StderrCapture capture;
        auto r = VizivuradEngine::resolveModelPath(std::string());
        EXPECT_EQ(r.kind, Kind::deepseek4GGUF);
        EXPECT_EQ(r.summary, "deepseek4 GGUF at " + zov4 + " (LIVE " + kArrow + " vivirov_vm_v2_create " + kArrow +
                                 " ZOV4Forward)");
        EXPECT_EQ(capture.text().find("probe arch"), std::string::npos); // the name decides
    }
    {
        ScopedEnv env("VIVIROV_MODEL_PATH", qwen);
        StderrCapture capture;
        auto r = VizivuradEngine::resolveModelPath(folder);
        EXPECT_EQ(r.kind, Kind::qwen2GGUF);
        EXPECT_EQ(r.path, qwen);
        EXPECT_EQ(r.summary, "qwen2 GGUF at " + qwen + " (LIVE " + kArrow + " vivirov_vm_v2_create)");
        EXPECT_NE(capture.text().find("skip missing path: " + folder + "\n"), std::string::npos);
        EXPECT_NE(capture.text().find("[vizivurad-engine] probe arch=qwen2 path=" + qwen + "\n"), std::string::npos);
    }
    {
        // Probed and passed over; counted among the tried.
        StderrCapture capture;
        auto r = VizivuradEngine::resolveModelPath(llama);
        EXPECT_EQ(r.summary, "no live GGUF resolved " + kArrow + " scaffold://no-model (tried 3 candidates)");
        EXPECT_NE(capture.text().find("probe arch=llama path=" + llama + "\n"), std::string::npos);
    }
}

TEST_F(ModelResolutionTest, TheFirstGGUFInHomeModelsIsADefault) {
    const std::string second = file("Models/b.gguf", 100, ggufHead("qwen"));
    const std::string first = file("Models/A.GGUF", 100, ggufHead("deepseek"));
    file("Models/c.txt", 100);
    auto r = VizivuradEngine::resolveModelPath();
    EXPECT_EQ(r.kind, Kind::deepseek4GGUF);
    EXPECT_EQ(r.path, first);
    std::filesystem::remove(first);
    EXPECT_EQ(VizivuradEngine::resolveModelPath().path, second);
}

TEST_F(ModelResolutionTest, ASwapBoundDefaultGivesWayToAnInstalledModelThatFits) {
    file("models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf", hugeBytes());
    const std::string small = file("models/qwen-small.gguf", 100 * kMiB, ggufHead("qwen2"));
    link("Models/alias-of-core.gguf", coreOnly());
    {
        StderrCapture capture;
        auto r = VizivuradEngine::resolveModelPath();
        EXPECT_EQ(r.kind, Kind::qwen2GGUF);
        EXPECT_EQ(r.path, small);
        EXPECT_EQ(r.summary, "qwen2 GGUF at " + small + " (LIVE " + kArrow +
                                 " vivirov_vm_v2_create) \xC2\xB7 fast-lane (over swap-bound ZOV4-Core-Only.gguf)");
        EXPECT_NE(capture.text().find("[vizivurad-engine] fast-lane: chose " + small + " over swap-bound " +
                                      coreOnly() + "\n"),
                  std::string::npos);
    }
    for (const char* value : {"0", "no"}) {
        ScopedEnv env("VIVIROV_FASTLANE", value);
        auto r = VizivuradEngine::resolveModelPath();
        EXPECT_EQ(r.path, std::string(value) == "0" ? coreOnly() : small) << value;
    }
    // Nothing installed fits: the swap-bound default is still taken.
    std::filesystem::remove(small);
    EXPECT_EQ(VizivuradEngine::resolveModelPath().path, coreOnly());
}

TEST(GGUFArchitectureProbe, ReadsTheArchitectureOnlyFromAWellFormedHeader) {
    auto with = [](GGUFWriter w) { return w.bytes(); };
    std::vector<std::string> tokens(50, "tok");
    std::string many;
    {
        GGUFWriter w;
        for (int i = 0; i < 31; ++i) w.u8("k" + std::to_string(i), 1);
        many = with(GGUFWriter(w).str("general.architecture", "qwen2"));
    }
    std::string tooMany;
    {
        GGUFWriter w;
        for (int i = 0; i < 32; ++i) w.u8("k" + std::to_string(i), 1);
        tooMany = with(w.str("general.architecture", "qwen2"));
    }
    const std::string qwen = with(GGUFWriter().str("general.architecture", "qwen2"));
    struct Case {
        const char* name;
        std::string bytes;
        std::optional<std::string> arch;
    };
    const Case cases[] = {
        {"plain", qwen, "qwen2"},
        {"other magic", with(GGUFWriter().magic("CGUF").str("general.architecture", "deepseek4")), "deepseek4"},
        {"wrong magic", with(GGUFWriter().magic("GGML").str("general.architecture", "qwen2")), std::nullopt},
        {"after every scalar and array type",
         with(GGUFWriter()
                  .u8("a", 1).i16("b", 2).u32("c", 3).f32("d", 4).boolean("e", true).u64("f", 5).f64("g", 6)
                  .strings("h", tokens)
                  .raw("i", GGUFWriter::Array, GGUFWriter::le("\x04\0\0\0", 4) + std::string("\x02\0\0\0\0\0\0\0", 8) +
                                                   std::string(8, '\x07'))
                  .str("general.architecture", "llama")),
         "llama"},
        {"the 32nd key", many, "qwen2"},
        {"past the 32nd key", tooMany, std::nullopt},
        {"not a string", with(GGUFWriter().u32("general.architecture", 2)), std::nullopt},
        {"missing", with(GGUFWriter().str("general.name", "x")), std::nullopt},
        {"nested array",
         with(GGUFWriter()
                  .raw("n", GGUFWriter::Array, GGUFWriter::le("\x09\0\0\0", 4) + std::string("\x01\0\0\0\0\0\0\0", 8))
                  .str("general.architecture", "qwen2")),
         std::nullopt},
        {"unknown type", with(GGUFWriter().raw("u", 13, "xxxx").str("general.architecture", "qwen2")), std::nullopt},
        {"invalid key", with(GGUFWriter().u8("\xFF\xFE", 1).str("general.architecture", "qwen2")), std::nullopt},
        {"invalid value", with(GGUFWriter().str("general.architecture", "qw\xC3")), std::nullopt},
        {"huge key length", qwen.substr(0, 24) + std::string("\x01\x10\0\0\0\0\0\0", 8) + qwen.substr(32),
         std::nullopt},
        {"cut inside the value", qwen.substr(0, qwen.find("qwen2") + 2), std::nullopt},
        {"17 bytes", qwen.substr(0, 17), std::nullopt},
        {"16 bytes", qwen.substr(0, 16), std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ggufArchitectureInHeader(c.bytes), c.arch) << c.name;
}

TEST_F(ModelResolutionTest, TheFileProbeReadsOneBlockAndNeverWaitsOnAPipe) {
    // The key lies beyond the first 4096 bytes: not found.
    std::vector<std::string> filler(600, "token");
    const std::string late =
        home_.write("late.gguf", GGUFWriter().strings("tokens", filler).str("general.architecture", "qwen2").bytes());
    EXPECT_EQ(readGGUFArchitecture(late), std::nullopt);
    EXPECT_EQ(readGGUFArchitecture(file("ok.gguf", 10 * kGiB, ggufHead("qwen2"))), "qwen2");
    EXPECT_EQ(readGGUFArchitecture(home_.file("missing.gguf")), std::nullopt);
    const std::string fifo = home_.file("pipe.gguf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(readGGUFArchitecture(fifo), std::nullopt);
}

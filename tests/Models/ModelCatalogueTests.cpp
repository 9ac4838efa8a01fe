#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "VivirovVizivurad/Models/ModelCatalogue.h"
#include "VivirovVizivurad/Models/ModelRef.h"

using namespace vivirov;

TEST(ModelFit, BadgesRoundTripAndOtherTextsGiveNone) {
    EXPECT_STREQ(rawValue(ModelFit::fast), "fits 24 GB \xC2\xB7 fast");
    EXPECT_STREQ(rawValue(ModelFit::fits), "fits 24 GB");
    EXPECT_STREQ(rawValue(ModelFit::experimental), "experimental \xC2\xB7 slow");
    for (ModelFit fit : {ModelFit::fast, ModelFit::fits, ModelFit::experimental})
        EXPECT_EQ(modelFitFromRaw(rawValue(fit)), fit);
    EXPECT_EQ(modelFitFromRaw("fast"), std::nullopt);
    EXPECT_EQ(modelFitFromRaw("FITS 24 GB"), std::nullopt);
}

TEST(ModelRef, IdAddressEqualityAndHash) {
    ModelRef r{"Name", "org", "repo", "m.gguf", 42, ModelFit::fits};
    EXPECT_EQ(r.id(), "org/repo/m.gguf");
    EXPECT_EQ(r.hfURL(), "https://huggingface.co/org/repo/resolve/main/m.gguf?download=true");
    EXPECT_EQ(r.hfURL("http://127.0.0.1:9/"), "http://127.0.0.1:9/org/repo/resolve/main/m.gguf?download=true");

    ModelRef other = r;
    EXPECT_EQ(other, r);
    EXPECT_EQ(std::hash<ModelRef>{}(other), std::hash<ModelRef>{}(r));
    other.approxBytes = 43;
    EXPECT_NE(other, r);
    other = r;
    other.fit = ModelFit::fast;
    EXPECT_NE(other, r);
    std::unordered_set<ModelRef> set{r, other, r};
    EXPECT_EQ(set.size(), 2u);
}

TEST(ModelCatalogue, TwelveRowsInOrderWithDistinctIds) {
    const auto& rows = modelCatalogue();
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(rows[0], (ModelRef{"Qwen2.5 0.5B Instruct (Q4_K_M)", rows[0].org, "Qwen2.5-0.5B-Instruct-GGUF",
                                 "Qwen2.5-0.5B-Instruct-Q4_K_M.gguf", 398000000, ModelFit::fast}));
    EXPECT_EQ(rows[6], (ModelRef{"Llama 3.1 8B Instruct (Q8_0) \xE2\x98\x85 recommended", "lmstudio-community",
                                 "Meta-Llama-3.1-8B-Instruct-GGUF", "Meta-Llama-3.1-8B-Instruct-Q8_0.gguf",
                                 8540000000, ModelFit::fits}));
    EXPECT_EQ(rows[11].fit, ModelFit::experimental);
    EXPECT_EQ(rows[11].file, "DeepSeek-R1-Distill-Qwen-7B-Q4_K_M.gguf");

    // One publisher account for all rows but the two community ones, which
    // share a repository and differ only in the file.
    std::set<std::string> publishers, ids;
    for (size_t i = 0; i < rows.size(); ++i) {
        ids.insert(rows[i].id());
        if (i != 6 && i != 7) publishers.insert(rows[i].org);
        EXPECT_TRUE(rows[i].file.ends_with(".gguf")) << rows[i].file;
    }
    EXPECT_EQ(publishers.size(), 1u);
    EXPECT_EQ(ids.size(), 12u);
    EXPECT_EQ(rows[6].repo, rows[7].repo);
    EXPECT_EQ(rows[7].approxBytes, 4920000000);
}

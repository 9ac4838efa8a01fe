// Sharded models: the shard-name rule and the joined tensor table.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "engine/vm_cabi/gguf_model.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/TempDir.h"

using vivirov::test::GGUFWriter;
using vivirov::test::TempDir;

TEST(GGUFModel, ShardPathsAlwaysStartAtShardOne) {
    using L = std::vector<std::string>;
    const std::vector<std::pair<std::string, L>> cases = {
        {"model.gguf", {"model.gguf"}},
        {"a-00002-of-00003.gguf", {"a-00001-of-00003.gguf", "a-00002-of-00003.gguf", "a-00003-of-00003.gguf"}},
        {"m-00003-of-00004.gguf",
         {"m-00001-of-00004.gguf", "m-00002-of-00004.gguf", "m-00003-of-00004.gguf", "m-00004-of-00004.gguf"}},
        {"/d/x-y-1-of-2.gguf", {"/d/x-y-00001-of-2.gguf", "/d/x-y-00002-of-2.gguf"}},
        {"a-x-of-0.gguf", {"a-x-of-0.gguf"}},   // N = 0
        {"a-of-3.gguf", {"a-of-3.gguf"}},       // no '-' before "-of-"
        {"-of-3.gguf", {"-of-3.gguf"}},
        {"a-1-of-.gguf", {"a-1-of-.gguf"}},     // no digits
        {"a.gguf-1-of-2", {"a.gguf-1-of-2"}},   // ".gguf" before "-of-"
        {"a-1-of-2x.gguf", {"a-00001-of-2x.gguf", "a-00002-of-2x.gguf"}}, // leading digits only
        {"a-1-of-999999999999.gguf", {"a-1-of-999999999999.gguf"}},      // more than names can number
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(GGUFModel::shard_paths(path), expected) << path;
}

TEST(GGUFModel, OpensEveryShardAndTheLaterShardWinsAName) {
    TempDir dir;
    auto names = vivirov::test::shardNames(dir.path(), "m", 3);
    GGUFWriter().tensorF32("shared", {1}, {1.0f}).tensorF32("only1", {1}, {10.0f}).write(names[0]);
    GGUFWriter().tensorF32("only2", {1}, {20.0f}).write(names[1]);
    GGUFWriter().tensorF32("shared", {1}, {3.0f}).write(names[2]);

    GGUFModel m;
    m.open(names[1]); // any shard's name opens all of them
    ASSERT_EQ(m.shards.size(), 3u);
    EXPECT_EQ(m.shards[0]->tensors[0].name, "shared");
    EXPECT_EQ(m.shards[1]->tensors[0].name, "only2");
    auto value = [&](const char* n) {
        float v;
        std::memcpy(&v, m.find(n)->data, 4);
        return v;
    };
    EXPECT_EQ(value("shared"), 3.0f);
    EXPECT_EQ(value("only1"), 10.0f);
    EXPECT_EQ(value("only2"), 20.0f);
    EXPECT_EQ(m.find("absent"), nullptr);
}

TEST(GGUFModel, AMissingShardFailsWithItsName) {
    TempDir dir;
    auto names = vivirov::test::shardNames(dir.path(), "m", 3);
    GGUFWriter().write(names[0]);
    GGUFWriter().write(names[2]);
    GGUFModel m;
    try {
        m.open(names[0]);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), "GGUF: open failed: " + names[1]);
    }
    EXPECT_EQ(m.shards.size(), 1u); // shards opened before the failure stay until destruction
}

// The F32 wall file's header: exact bytes, and which headers count as the
// same wall.
#include <gtest/gtest.h>

#include <vector>

#include "engine/zov4/f32_wall_file.h"

using vm::zov4::F32WallFile;

TEST(F32WallFile, HeaderBytesAndReuseRules) {
    const std::vector<F32WallFile::Entry> entries = {{2, 3}, {4, 1}};
    std::vector<uint8_t> h(4096, 0xEE);
    F32WallFile::write_header(h.data(), entries, 0x1122334455667788ULL);
    const std::vector<uint8_t> head = {
        0x31, 0x30, 0x57, 0x32, 0x33, 0x46, 0x53, 0x44, // magic
        2,    0,    0,    0,    0,    0,    0,    0,    // entries
        40,   0,    0,    0,    0,    0,    0,    0,    // payload bytes: 4 · (6 + 4)
        1,    0,    0,    0,    0,    0,    0,    0,    // version
        2,    0,    0,    0,    0,    0,    0,    0,    3, 0, 0, 0, 0, 0, 0, 0, // entry 0 rows, cols
        6,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, // count, offset
        4,    0,    0,    0,    0,    0,    0,    0,    1, 0, 0, 0, 0, 0, 0, 0, // entry 1
        4,    0,    0,    0,    0,    0,    0,    0,    6, 0, 0, 0, 0, 0, 0, 0,
    };
    EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.begin() + long(head.size())), head);
    for (size_t i = head.size(); i < 4088; ++i) ASSERT_EQ(h[i], 0) << i;
    EXPECT_EQ(std::vector<uint8_t>(h.begin() + 4088, h.end()),
              (std::vector<uint8_t>{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));

    EXPECT_TRUE(F32WallFile::matches(h.data(), entries, 0x1122334455667788ULL));
    EXPECT_FALSE(F32WallFile::matches(h.data(), entries, 0x1122334455667789ULL)); // another model
    EXPECT_FALSE(F32WallFile::matches(h.data(), {{2, 3}}, 0x1122334455667788ULL));
    EXPECT_FALSE(F32WallFile::matches(h.data(), {{2, 3}, {4, 2}}, 0x1122334455667788ULL));
    // Every entry counts, not only the first eight.
    std::vector<F32WallFile::Entry> many(20, {1, 1});
    F32WallFile::write_header(h.data(), many, 7);
    many[15].cols = 2;
    EXPECT_FALSE(F32WallFile::matches(h.data(), many, 7));
    // A list longer than the header holds never matches.
    std::vector<F32WallFile::Entry> tooMany(F32WallFile::kMaxEntries + 1, {1, 1});
    EXPECT_FALSE(F32WallFile::matches(h.data(), tooMany, 7));
}

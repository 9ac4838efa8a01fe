#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/Store/StoreFixture.h"

namespace vivirov::test {

namespace {
std::vector<uint8_t> pack(std::vector<float> values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}
std::vector<std::string> contents(const std::vector<Message>& rows) {
    std::vector<std::string> out;
    for (const auto& m : rows) out.push_back(m.content);
    return out;
}
} // namespace

class StoreSearch : public StoreFixture {
protected:
    void SetUp() override {
        chat = store->createConversation(ConversationKind::chat, "chat");
        code = store->createConversation(ConversationKind::code, "code");
        store->appendMessageBatch({
            message(chat, "world and hello, in that order", 1),
            message(code, "hello world from the code view", 2),
            message(chat, "nothing to see", 3),
            message(chat, "HELLO again, World!", 4),
        });
    }
    UUID chat, code;
};

TEST_F(StoreSearch, FullTextMatchesEveryTokenNewestFirst) {
    EXPECT_EQ(contents(store->search("Hello,WORLD", std::nullopt, 10)),
              (std::vector<std::string>{"HELLO again, World!", "hello world from the code view",
                                        "world and hello, in that order"}));
    EXPECT_EQ(contents(store->search("hello world", ConversationKind::chat, 10)),
              (std::vector<std::string>{"HELLO again, World!", "world and hello, in that order"}));
    EXPECT_EQ(store->search("hello", std::nullopt, 0).size(), 0u);
    EXPECT_EQ(store->search("hello", std::nullopt, -1).size(), 3u);
    EXPECT_EQ(store->search("hello", std::nullopt, 1).size(), 1u);
}

TEST_F(StoreSearch, QuerySyntaxTypedByTheUserHasNoEffect) {
    // Operators, quotes, column filters and prefix marks are plain words or separators.
    struct Case {
        const char* text;
        std::string query;
        size_t hits;
    } cases[] = {
        {"\"hello\" AND world*", "hello and world", 1}, // "and" is a plain word here
        {"content:hello NOT see", "content hello not see", 0},
        {"(hello) OR", "hello or", 0},
        {"hello^ world-", "hello world", 3},
        {"snake_case", "snake case", 0},
        {"Ünïcode Wörld", "Ünïcode wörld", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DatabaseManager::fullTextQuery(c.text), c.query) << c.text;
        EXPECT_EQ(store->search(c.text, std::nullopt, 10).size(), c.hits) << c.text;
    }
}

TEST_F(StoreSearch, PunctuationOnlyReadsNothing) {
    uint64_t before = store->pool()->accessCount();
    EXPECT_TRUE(store->search(" ,.;:!?\"'*()-^ ", std::nullopt, 10).empty());
    EXPECT_TRUE(store->search("", ConversationKind::chat, 10).empty());
    EXPECT_EQ(store->pool()->accessCount(), before);
}

TEST(StoreCosine, Cases) {
    struct Case {
        std::vector<float> a, b;
        float expected;
    } cases[] = {
        {{1, 0}, {0, 1}, 0}, {{1, 2}, {2, 4}, 1}, {{}, {}, 0}, {{1, 2}, {1, 2, 3}, 0},
        {{0, 0}, {1, 1}, 0}, {{1, 1}, {-1, -1}, -1},
    };
    for (const auto& c : cases) EXPECT_NEAR(DatabaseManager::cosine(c.a, c.b), c.expected, 1e-6);
}

TEST_F(StoreSearch, SemanticSearchRanksBySimilarityAndKeepsOtherDimensionsAtZero) {
    UUID c = store->createConversation(ConversationKind::cowork, "vectors");
    auto add = [&](const char* name, std::vector<uint8_t> bytes) {
        Message m = message(c, name, 10);
        m.embedding = std::move(bytes);
        store->appendMessageBatch({m});
    };
    add("wide-1", pack({1, 0, 0, 0, 0, 0, 0, 0}));
    add("close", pack({1, 0.1f, 0, 0}));
    add("opposite", pack({-1, 0, 0, 0}));
    add("wide-2", pack({0, 1, 0, 0, 0, 0, 0, 0}));
    add("exact", pack({1, 0, 0, 0}));
    add("zero", pack({0, 0, 0, 0}));
    add("trailing", [] { auto b = pack({0, 1, 0, 0}); b.push_back(7); return b; }());

    auto query = pack({1, 0, 0, 0});
    auto rows = store->semanticSearch(query, std::nullopt, 10);
    EXPECT_EQ(contents(rows),
              (std::vector<std::string>{"exact", "close", "wide-1", "wide-2", "zero", "trailing", "opposite"}));
    EXPECT_EQ(rows[0].embedding, pack({1, 0, 0, 0})); // complete with the embedding

    EXPECT_EQ(contents(store->semanticSearch(query, std::nullopt, 2)), (std::vector<std::string>{"exact", "close"}));
    EXPECT_TRUE(store->semanticSearch(query, std::nullopt, 0).empty());
    EXPECT_TRUE(store->semanticSearch(query, ConversationKind::chat, 5).empty());
    EXPECT_EQ(store->semanticSearch(query, ConversationKind::cowork, 1).size(), 1u);

    uint64_t before = store->pool()->accessCount();
    EXPECT_TRUE(store->semanticSearch({1, 2, 3}, std::nullopt, 5).empty());
    EXPECT_EQ(store->pool()->accessCount(), before);
}

TEST_F(StoreSearch, NonFiniteEmbeddingsNeitherCrashNorOutrankRealMatches) {
    UUID c = store->createConversation(ConversationKind::chat, "odd");
    std::vector<Message> batch;
    for (int i = 0; i < 40; ++i) {
        Message m = message(c, i % 2 ? "nan" : "inf", i);
        m.embedding = pack({i % 2 ? NAN : INFINITY, INFINITY});
        batch.push_back(m);
    }
    Message good = message(c, "good", 100);
    good.embedding = pack({1, 1});
    batch.push_back(good);
    store->appendMessageBatch(batch);
    auto rows = store->semanticSearch(pack({1, 1}), std::nullopt, 3);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].content, "good");
}

TEST_F(StoreSearch, EmbedIsNotImplemented) {
    try {
        store->embed("anything");
        FAIL() << "no error";
    } catch (const DatabaseManager::StoreError& error) {
        EXPECT_EQ(error.kind(), DatabaseManager::StoreError::Kind::notImplemented);
        EXPECT_EQ(error.message(), "embed() needs a bundled CoreML embedding model (.mlmodelc). Retrieval "
                                   "(semanticSearch/cosine) is implemented and ready.");
    }
}

} // namespace vivirov::test

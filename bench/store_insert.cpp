// Message insert throughput: one message per transaction and batches in one
// transaction, through the store and through bare sqlite3 on the same schema.
#include <memory>

#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "bench/store_bench_support.h"

using namespace vivirov;
using namespace vivirov::bench;

namespace {
constexpr int batchSize = 1000;
const char* const insertSql =
    "INSERT INTO message (id, conversationId, role, content, tokenCount, embedding, createdAt) "
    "VALUES (?, ?, ?, ?, ?, NULL, ?)";
const std::string content = "A typical chat message of modest length, with a few words to index for search.";

struct BareStore {
    BareStore(const std::string& path) {
        DatabaseManager schema(path); // same schema and migrations as the store
        conversation = schema.createConversation(ConversationKind::chat, "bench").string();
        db = openBare(path);
        sqlite3_prepare_v2(db, insertSql, -1, &insert, nullptr);
    }
    ~BareStore() {
        sqlite3_finalize(insert);
        sqlite3_close_v2(db);
    }
    void insertOne() {
        std::string id = UUID::random().string();
        sqlite3_bind_text(insert, 1, id.c_str(), int(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, conversation.c_str(), int(conversation.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, "user", 4, SQLITE_STATIC);
        sqlite3_bind_text(insert, 4, content.c_str(), int(content.size()), SQLITE_STATIC);
        sqlite3_bind_null(insert, 5);
        sqlite3_bind_double(insert, 6, 1.0);
        if (sqlite3_step(insert) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    std::string conversation;
};

void BM_BareInsertSingle(benchmark::State& state) {
    ScratchDir dir;
    BareStore bare(dir.path + "/bare.sqlite");
    recordBaseline("single", timeLoop(state, 1, [&] {
                       execOrThrow(bare.db, "BEGIN IMMEDIATE");
                       bare.insertOne();
                       execOrThrow(bare.db, "COMMIT");
                   }));
}

void BM_StoreAppendMessage(benchmark::State& state) {
    ScratchDir dir;
    DatabaseManager store(dir.path + "/store.sqlite");
    UUID conversation = store.createConversation(ConversationKind::chat, "bench");
    double perItem = timeLoop(state, 1, [&] { store.appendMessage(conversation, "user", content); });
    compareWithBaseline(state, "single", perItem);
}

void BM_BareInsertBatch(benchmark::State& state) {
    ScratchDir dir;
    BareStore bare(dir.path + "/bare.sqlite");
    recordBaseline("batch", timeLoop(state, batchSize, [&] {
                       execOrThrow(bare.db, "BEGIN IMMEDIATE");
                       for (int i = 0; i < batchSize; ++i) bare.insertOne();
                       execOrThrow(bare.db, "COMMIT");
                   }));
}

void BM_StoreAppendMessageBatch(benchmark::State& state) {
    ScratchDir dir;
    DatabaseManager store(dir.path + "/store.sqlite");
    UUID conversation = store.createConversation(ConversationKind::chat, "bench");
    double perItem = timeLoop(state, batchSize, [&] {
        // Building the records is part of the caller's work in both loops (ids included).
        std::vector<Message> batch;
        batch.reserve(batchSize);
        for (int i = 0; i < batchSize; ++i)
            batch.emplace_back(UUID::random(), conversation, "user", content, std::nullopt, std::nullopt, 1.0);
        store.appendMessageBatch(batch);
    });
    compareWithBaseline(state, "batch", perItem);
}
} // namespace

// Each baseline runs right before the figure it anchors.
BENCHMARK(BM_BareInsertSingle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreAppendMessage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareInsertBatch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreAppendMessageBatch)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

// Full-text query latency over 100,000 messages: the store's search() against
// the same statement run through bare sqlite3 on the same file.
#include <memory>
#include <random>

#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "bench/store_bench_support.h"

using namespace vivirov;
using namespace vivirov::bench;

namespace {
constexpr int messageCount = 100000;
const char* const searchSql =
    "SELECT message.* FROM message_ft\n"
    "JOIN message ON message.rowid = message_ft.rowid\n"
    "WHERE message_ft MATCH ?\n"
    "ORDER BY message.createdAt DESC LIMIT ?";

// 100,000 messages of 12 words from a 1,000-word vocabulary; about 30 % also hold "common".
FilledStore& corpus() {
    static std::mt19937 rng(42);
    static FilledStore c("fts.sqlite", messageCount, [](const UUID& conversation, int i) {
        std::uniform_int_distribution<int> word(0, 999), percent(0, 99);
        std::string text;
        for (int w = 0; w < 12; ++w) text += "w" + std::to_string(word(rng)) + " ";
        if (percent(rng) < 30) text += "common";
        return Message(UUID::random(), conversation, "user", text, std::nullopt, std::nullopt, double(i));
    });
    return c;
}

void bareSearch(benchmark::State& state, const char* query, const char* name) {
    sqlite3* db = openBare(corpus().path);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, searchSql, -1, &statement, nullptr);
    size_t rows = 0;
    recordBaseline(name, timeLoop(state, 1, [&] {
                       sqlite3_bind_text(statement, 1, query, -1, SQLITE_STATIC);
                       sqlite3_bind_int64(statement, 2, 50);
                       // Copy every column out, as the store's mapping does.
                       while (sqlite3_step(statement) == SQLITE_ROW) {
                           for (int c = 0; c < 7; ++c) benchmark::DoNotOptimize(sqlite3_column_blob(statement, c));
                           std::string id(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
                           std::string text(reinterpret_cast<const char*>(sqlite3_column_text(statement, 3)));
                           benchmark::DoNotOptimize(text);
                           ++rows;
                       }
                       sqlite3_reset(statement);
                   }));
    state.counters["rows"] = double(rows) / double(state.iterations());
    sqlite3_finalize(statement);
    sqlite3_close_v2(db);
}

void storeSearch(benchmark::State& state, const char* query, const char* name) {
    auto& store = *corpus().store;
    size_t rows = 0;
    double perItem = timeLoop(state, 1, [&] { rows += store.search(query, std::nullopt, 50).size(); });
    state.counters["rows"] = double(rows) / double(state.iterations());
    compareWithBaseline(state, name, perItem);
}

void BM_BareSearchTwoTerms(benchmark::State& s) { bareSearch(s, "w17 w423", "two"); }
void BM_StoreSearchTwoTerms(benchmark::State& s) { storeSearch(s, "w17 w423", "two"); }
void BM_BareSearchFrequentTerm(benchmark::State& s) { bareSearch(s, "common", "frequent"); }
void BM_StoreSearchFrequentTerm(benchmark::State& s) { storeSearch(s, "common", "frequent"); }
} // namespace

BENCHMARK(BM_BareSearchTwoTerms)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreSearchTwoTerms)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareSearchFrequentTerm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreSearchFrequentTerm)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

// Cosine search over 100,000 embeddings of 384 floats (k = 10): the store's
// semanticSearch() against a bare loop that reads the same BLOBs with sqlite3,
// scores them with cblas_sdot/cblas_snrm2 and keeps the best ten.
#include <cblas.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "bench/store_bench_support.h"

using namespace vivirov;
using namespace vivirov::bench;

namespace {
constexpr int embeddingCount = 100000;
constexpr int dimension = 384;
constexpr int k = 10;

std::vector<uint8_t> randomEmbedding(std::mt19937& rng) {
    std::normal_distribution<float> value;
    std::vector<float> v(dimension);
    for (auto& x : v) x = value(rng);
    std::vector<uint8_t> bytes(v.size() * sizeof(float));
    std::memcpy(bytes.data(), v.data(), bytes.size());
    return bytes;
}

struct Corpus {
    std::mt19937 rng{7};
    FilledStore filled{"vectors.sqlite", embeddingCount, [this](const UUID& conversation, int i) {
                           return Message(UUID::random(), conversation, "assistant", "message " + std::to_string(i),
                                          std::nullopt, randomEmbedding(rng), double(i));
                       }};
    std::vector<uint8_t> query = randomEmbedding(rng);
    const std::string& path = filled.path;
    DatabaseManager* store = filled.store.get();
};

Corpus& corpus() {
    static Corpus c;
    return c;
}

void BM_BareCosineTop10(benchmark::State& state) {
    auto& c = corpus();
    sqlite3* db = openBare(c.path);
    sqlite3_stmt* scan = nullptr;
    sqlite3_prepare_v2(db, "SELECT rowid, embedding FROM message WHERE embedding IS NOT NULL", -1, &scan, nullptr);
    std::vector<float> q(dimension), v(dimension);
    std::memcpy(q.data(), c.query.data(), c.query.size());
    std::vector<std::pair<float, int64_t>> scored;
    recordBaseline("cosine", timeLoop(state, 1, [&] {
                       scored.clear();
                       float qn = cblas_snrm2(dimension, q.data(), 1);
                       while (sqlite3_step(scan) == SQLITE_ROW) {
                           int bytes = sqlite3_column_bytes(scan, 1);
                           if (bytes != dimension * 4) continue;
                           std::memcpy(v.data(), sqlite3_column_blob(scan, 1), size_t(bytes));
                           float d = qn * cblas_snrm2(dimension, v.data(), 1);
                           float dot = cblas_sdot(dimension, q.data(), 1, v.data(), 1);
                           scored.emplace_back(d > 0 ? dot / d : 0, sqlite3_column_int64(scan, 0));
                       }
                       sqlite3_reset(scan);
                       std::partial_sort(scored.begin(), scored.begin() + k, scored.end(),
                                         [](auto& a, auto& b) { return a.first > b.first; });
                       benchmark::DoNotOptimize(scored.data());
                   }));
    sqlite3_finalize(scan);
    sqlite3_close_v2(db);
}

void BM_StoreSemanticSearchTop10(benchmark::State& state) {
    auto& c = corpus();
    double perItem = timeLoop(state, 1, [&] { benchmark::DoNotOptimize(c.store->semanticSearch(c.query, std::nullopt, k)); });
    compareWithBaseline(state, "cosine", perItem);
}
} // namespace

BENCHMARK(BM_BareCosineTop10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreSemanticSearchTop10)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

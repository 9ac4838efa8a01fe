#pragma once
// Shared set-up of the store benchmarks: a scratch folder, a bare sqlite3
// connection with the store's settings, and the ratio of each store figure
// to the bare loop that does the same work in the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "VivirovKit/Support/Paths.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"

namespace vivirov::bench {

struct ScratchDir {
    ScratchDir() {
        std::string pattern = paths::temporary() + "/vivirov-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// A store in a scratch folder filled with `count` messages of one chat
// conversation, made by `make(conversation, index)` and written in batches.
struct FilledStore {
    FilledStore(const std::string& name, int count, const std::function<Message(const UUID&, int)>& make)
        : path(dir.path + "/" + name), store(std::make_unique<DatabaseManager>(path)) {
        UUID conversation = store->createConversation(ConversationKind::chat, "bench");
        std::vector<Message> batch;
        for (int i = 0; i < count; ++i) {
            batch.push_back(make(conversation, i));
            if (batch.size() == 10000 || i + 1 == count) {
                store->appendMessageBatch(batch);
                batch.clear();
            }
        }
    }
    ScratchDir dir;
    std::string path;
    std::unique_ptr<DatabaseManager> store;
};

inline sqlite3* openBare(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        throw std::runtime_error("open failed");
    sqlite3_exec(db,
                 "PRAGMA mmap_size = 268435456; PRAGMA foreign_keys = ON; PRAGMA synchronous = NORMAL; "
                 "PRAGMA journal_mode = WAL",
                 nullptr, nullptr, nullptr);
    return db;
}

inline void execOrThrow(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
}

// Seconds per item of the named baselines measured earlier in this run.
inline std::map<std::string, double>& baselines() {
    static std::map<std::string, double> b;
    return b;
}

// Times the benchmark loop of `state` (run `body` once per iteration,
// `items` items each) and records seconds per item.
template <class F>
double timeLoop(benchmark::State& state, int64_t items, F&& body) {
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) body();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetItemsProcessed(state.iterations() * items);
    return state.iterations() ? seconds / double(state.iterations() * items) : 0;
}

inline void recordBaseline(const std::string& name, double perItem) { baselines()[name] = perItem; }

// Adds "x_bare": the store's time per item over the bare loop's (1.0 = equal).
inline void compareWithBaseline(benchmark::State& state, const std::string& name, double perItem) {
    auto it = baselines().find(name);
    if (it != baselines().end() && it->second > 0) state.counters["x_bare"] = perItem / it->second;
}

} // namespace vivirov::bench

// Full-text and embedding search of DatabaseManager.
#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "VivirovVizivurad/Store/StoreRows.h"

namespace vivirov {

using store::SqliteConnection;

std::string DatabaseManager::fullTextQuery(const std::string& text) {
    // The rules of FTS5's ascii tokenizer: ASCII letters and digits and every
    // byte of a non-ASCII character are token characters, everything else
    // separates. Operators, quotes and column filters thus lose their meaning.
    std::string query;
    bool inToken = false;
    for (unsigned char c : text) {
        bool tokenChar = c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!tokenChar) {
            inToken = false;
            continue;
        }
        if (!inToken && !query.empty()) query += ' ';
        inToken = true;
        query += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : char(c);
    }
    return query;
}

std::vector<Message> DatabaseManager::search(const std::string& text, std::optional<ConversationKind> kind,
                                             int64_t limit) {
    std::string query = fullTextQuery(text);
    if (query.empty()) return {};
    try {
        return pool_->read([&](SqliteConnection& db) {
            if (!kind) {
                auto& statement = db.cached(
                    "SELECT message.* FROM message_ft\n"
                    "JOIN message ON message.rowid = message_ft.rowid\n"
                    "WHERE message_ft MATCH ?\n"
                    "ORDER BY message.createdAt DESC LIMIT ?");
                statement.bind(1, query).bind(2, limit);
                return storeRows::messages(statement);
            }
            auto& statement = db.cached(
                "SELECT message.* FROM message_ft\n"
                "JOIN message      ON message.rowid       = message_ft.rowid\n"
                "JOIN conversation ON conversation.id      = message.conversationId\n"
                "WHERE message_ft MATCH ? AND conversation.routeKind = ?\n"
                "ORDER BY message.createdAt DESC LIMIT ?");
            statement.bind(1, query).bind(2, conversationKindText(*kind)).bind(3, limit);
            return storeRows::messages(statement);
        });
    } catch (const store::SqliteError& error) {
        // A query that FTS5 cannot parse finds nothing; other failures are real.
        if (error.message().rfind("fts5:", 0) == 0) return {};
        throw;
    }
}

float DatabaseManager::cosine(std::span<const float> a, std::span<const float> b) {
    size_t n = a.size();
    if (n == 0 || b.size() != n) return 0;
    float dot = cblas_sdot(blasint(n), a.data(), 1, b.data(), 1);
    // snrm2 scales as it sums, so large components do not overflow to infinity.
    float d = cblas_snrm2(blasint(n), a.data(), 1) * cblas_snrm2(blasint(n), b.data(), 1);
    return d > 0 ? dot / d : 0.0f;
}

namespace {
// Packed machine-order floats; 1-3 trailing bytes are ignored.
void decodeFloats(std::span<const uint8_t> bytes, std::vector<float>& out) {
    out.resize(bytes.size() / sizeof(float));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
}

struct Scored {
    float score;
    size_t order; // position in the read, for a stable order among equal scores
    int64_t rowid;
};
} // namespace

std::vector<Message> DatabaseManager::semanticSearch(const Bytes& queryBytes, std::optional<ConversationKind> kind,
                                                     int k) {
    std::vector<float> query;
    decodeFloats(queryBytes, query);
    if (query.empty()) return {};
    return pool_->read([&](SqliteConnection& db) {
        std::unordered_set<std::string> wanted;
        if (kind) {
            auto& ids = db.cached("SELECT id FROM conversation WHERE routeKind = ?");
            ids.bind(1, conversationKindText(*kind));
            while (ids.step()) wanted.insert(ids.text(0));
        }
        // Score straight from the row's bytes; only the winners are read whole.
        std::vector<Scored> scored;
        std::vector<float> vector;
        auto& candidates = db.cached("SELECT rowid, conversationId, embedding FROM message WHERE embedding IS NOT NULL");
        while (candidates.step()) {
            if (kind && !wanted.count(std::string(candidates.textView(1)))) continue;
            decodeFloats(candidates.blobView(2), vector);
            float score = vector.size() == query.size() ? cosine(query, vector) : 0.0f;
            // NaN (from infinite components) would break the sort's ordering: rank it last.
            if (std::isnan(score)) score = -INFINITY;
            scored.push_back({score, scored.size(), candidates.integer(0)});
        }
        size_t take = std::min(scored.size(), size_t(std::max(k, 0)));
        std::partial_sort(scored.begin(), scored.begin() + ptrdiff_t(take), scored.end(),
                          [](const Scored& x, const Scored& y) {
                              return x.score != y.score ? x.score > y.score : x.order < y.order;
                          });
        std::vector<Message> out;
        out.reserve(take);
        auto& row = db.cached("SELECT * FROM message WHERE rowid = ?");
        for (size_t i = 0; i < take; ++i) {
            row.reset();
            row.bind(1, scored[i].rowid);
            if (row.step()) out.push_back(storeRows::message(row));
            while (row.step()) {
            }
        }
        return out;
    });
}

} // namespace vivirov

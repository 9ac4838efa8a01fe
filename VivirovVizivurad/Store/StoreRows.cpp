#include "VivirovVizivurad/Store/StoreRows.h"

namespace vivirov::storeRows {

Conversation conversation(const store::Statement& row) {
    Conversation c;
    c.id = row.text(0);
    c.routeKind = row.text(1);
    c.title = row.text(2);
    c.createdAt = row.real(3);
    return c;
}

Message message(const store::Statement& row) {
    Message m;
    m.id = row.text(0);
    m.conversationId = row.text(1);
    m.role = row.text(2);
    m.content = row.text(3);
    m.tokenCount = row.optionalInteger(4);
    m.embedding = row.optionalBlob(5);
    m.createdAt = row.real(6);
    return m;
}

void insert(store::SqliteConnection& db, const Conversation& c) {
    db.cached("INSERT INTO conversation (id, routeKind, title, createdAt) VALUES (?, ?, ?, ?)")
        .bind(1, c.id)
        .bind(2, c.routeKind)
        .bind(3, c.title)
        .bind(4, c.createdAt)
        .run();
}

void insert(store::SqliteConnection& db, const Message& m) {
    auto& statement = db.cached(
        "INSERT INTO message (id, conversationId, role, content, tokenCount, embedding, createdAt) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)");
    statement.bind(1, m.id).bind(2, m.conversationId).bind(3, m.role).bind(4, m.content).bind(5, m.tokenCount);
    if (m.embedding)
        statement.bind(6, std::span<const uint8_t>(*m.embedding));
    else
        statement.bindNull(6);
    statement.bind(7, m.createdAt).run();
}

std::vector<Message> messages(store::Statement& query) {
    std::vector<Message> out;
    while (query.step()) out.push_back(message(query));
    return out;
}

std::vector<Conversation> conversations(store::Statement& query) {
    std::vector<Conversation> out;
    while (query.step()) out.push_back(conversation(query));
    return out;
}

} // namespace vivirov::storeRows

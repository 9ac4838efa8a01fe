#pragma once
#include "VivirovVizivurad/Store/SqliteConnection.h"
#include "VivirovVizivurad/Store/StoreRecords.h"

// Mapping of the stored records to their rows, by the exact column names.
namespace vivirov::storeRows {

// A row of "SELECT * FROM conversation" / "SELECT message.* ...".
Conversation conversation(const store::Statement& row);
Message message(const store::Statement& row);

// Plain INSERTs: an id that exists already fails with SQLite's uniqueness error.
void insert(store::SqliteConnection& db, const Conversation& conversation);
void insert(store::SqliteConnection& db, const Message& message);

// Runs a prepared query and maps every row.
std::vector<Message> messages(store::Statement& query);
std::vector<Conversation> conversations(store::Statement& query);

} // namespace vivirov::storeRows

#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

// A store on a fresh database file in a temporary folder.
class StoreFixture : public ::testing::Test {
protected:
    StoreFixture() : path(dir.file("vivirov.sqlite")), store(std::make_unique<DatabaseManager>(path)) {}

    Message message(const UUID& conversation, std::string content, double createdAt,
                    std::optional<int64_t> tokenCount = std::nullopt) {
        return Message(UUID::random(), conversation, "user", std::move(content), tokenCount, std::nullopt, createdAt);
    }

    TempDir dir;
    std::string path;
    std::unique_ptr<DatabaseManager> store;
};

} // namespace vivirov::test

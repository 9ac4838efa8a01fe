#pragma once
// A pillar over a temporary database, with its own stream meter on a fake
// clock (time stands still unless a test moves it) and its own activity
// model. Ticks are driven by the test, never by the timer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "VivirovKit/Support/Clock.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "tests/support/QtHarness.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

class PillarFixture : public ::testing::Test {
protected:
    PillarFixture() { qtApp(); }

    std::unique_ptr<PillarContext> makePillar(ConversationKind kind) {
        return std::make_unique<PillarContext>(kind, *db, &swarm, &activity);
    }

    // A user row and an empty assistant row, as a turn starts them.
    UUID addTurnRows(PillarContext& pillar, const std::string& userText = "hi") {
        pillar.appendMessage(row(Role::user, userText));
        ChatMessage assistant = row(Role::assistant, "");
        pillar.appendMessage(assistant);
        return assistant.id;
    }

    static ChatMessage row(Role role, std::string content) {
        ChatMessage m;
        m.id = UUID::random();
        m.role = role;
        m.content = std::move(content);
        return m;
    }

    std::vector<Message> stored(const UUID& conversation) { return db->messages(conversation); }

    TempDir dir;
    std::unique_ptr<DatabaseManager> db = std::make_unique<DatabaseManager>(dir.file("vivirov.sqlite"));
    FakeClock clock;
    SwarmOrchestrator swarm{&clock};
    AgentActivityModel activity;
    std::unique_ptr<PillarContext> chat = makePillar(ConversationKind::chat);
    std::unique_ptr<PillarContext> cowork = makePillar(ConversationKind::cowork);
};

} // namespace vivirov::test

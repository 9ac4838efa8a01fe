#pragma once
// The pure pieces of a chat turn: what the model is sent, what the answer
// becomes before it is shown and saved, and the turn's log text. Free of Qt
// state, so callable from any thread.
#include <functional>
#include <string>
#include <vector>

#include "VivirovKit/Agentic/FabricationGuard.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovVizivurad/Store/ChatMessage.h"
#include "VivirovVizivurad/Store/StoreRecords.h"

namespace vivirov::turn {

// The transcript without its last row (the running turn's placeholder),
// each row as a plain history entry; tool rows become assistant entries
// with a "[tool name] result" marker.
std::vector<ProviderChatMessage> providerHistory(const std::vector<ChatMessage>& rows);

// The last user entry's content becomes `objective` (as a new entry), so the
// model sees the attachment blocks the transcript row leaves out.
void replaceLastUserEntry(std::vector<ProviderChatMessage>& history, const std::string& objective);
// Removes the last user entry, for a caller that sends the objective itself.
void dropLastUserEntry(std::vector<ProviderChatMessage>& history);

// The distinct kinds among the findings, in the order SKU, price, stock.
std::string orderedKinds(const std::vector<FabricationGuard::Finding>& findings);
// The text, with the unverified-catalogue notice appended when it names
// figures no tool result backs; a guarded text is returned unchanged.
std::string fabricationGuarded(const std::string& text);

// The pending text attachments as fenced blocks, followed by a blank line;
// empty when there are none.
std::string attachmentsPrefix(const std::vector<Attachment>& attachments);

// The read-only wrapper of a plan-mode objective.
std::string planObjective(const std::string& objective);

// Model rounds an agentic turn may take.
int iterationLimit(bool godMode, bool continuousMode, const std::string& providerID);

// A local inference server: the single-model one or any other of its family.
bool isLocalServerProvider(const std::string& providerID);

// How a sent prompt is answered: one streamed reply of the in-process
// engine or of a local server, an agentic turn, or nothing at all.
enum class TurnPath { inProcessAsk, localServerAsk, agentic, none };
struct PathChoice {
    TurnPath path;
    std::string providerID; // the id the choice rests on
};
// A plain Ask (no continuous mode, no web search) goes to the in-process
// engine or a local server directly; every other prompt takes the agentic
// path. Before a plain Ask of another provider goes agentic, the active
// provider is read again: should it now be the in-process engine, no path
// applies.
PathChoice choosePath(const std::string& providerID, bool continuousMode, bool askMode, bool webSearch,
                      const std::function<std::string()>& readProviderAgain);
// The line logged when no path applies.
std::string noGenerationPathLine(const std::string& providerID);

// "[vivirov] FINAL[pillar:<kind>/<provider>]: " and the answer on one line,
// cut to its first 420 characters.
std::string finalLogLine(ConversationKind kind, const std::string& providerID, const std::string& answer);

} // namespace vivirov::turn

#pragma once
#include <string>

#include "VivirovKit/Support/UUID.h"

namespace vivirov {

// One request for the user's verdict, as the permission card shows it.
struct PendingCommand {
    UUID id;              // fresh per request; the key of its waiting verdict
    std::string toolName; // the card's label
    std::string command;  // the card's body: what will run
    bool operator==(const PendingCommand&) const = default;
};

} // namespace vivirov

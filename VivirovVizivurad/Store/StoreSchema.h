#pragma once
#include "VivirovVizivurad/Store/DatabaseMigrator.h"

namespace vivirov {

// The conversation database's schema, as migrations "v1_schema" and
// "v2_dkv_slot" in that order.
namespace storeSchema {

extern const char* const v1Script;
extern const char* const v2DeleteOrphans;
extern const char* const v2CreateSlots;

void registerMigrations(store::DatabaseMigrator& migrator);

} // namespace storeSchema
} // namespace vivirov

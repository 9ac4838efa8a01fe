#pragma once
// The badge state of a turn, for Qt code. The kit's transaction manager has
// a member named `emit`, which Qt defines as a macro: it is hidden while the
// kit header is read.
#pragma push_macro("emit")
#undef emit
#include "VivirovKit/Agentic/InferenceTransactionManager.h"
#pragma pop_macro("emit")

namespace vivirov {
using TransactionState = InferenceTransactionManager::TransactionState;
} // namespace vivirov

#pragma once
#include <vector>

#include "VivirovVizivurad/Models/ModelRef.h"

namespace vivirov {

// The models the library's browse tab offers, in the order it shows them.
const std::vector<ModelRef>& modelCatalogue();

} // namespace vivirov

#pragma once
// The document and workspace tools as the agent sees them: one schema and one
// handler per tool, so that registering them is one loop over entries().
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

class DocumentToolCatalog {
public:
    using Arguments = std::map<std::string, std::string>;
    // Blocking; never throws: every problem is the result text.
    using Handler = std::function<std::string(const Arguments&)>;

    struct Entry {
        ToolSchema schema;
        Handler handler;
    };

    // The twelve tools in their registration order.
    static const std::vector<Entry>& entries();
    static std::vector<ToolSchema> schemas();
    // The handler for a tool name; none for a name the catalogue lacks.
    static Handler handler(const std::string& name);
};

} // namespace vivirov

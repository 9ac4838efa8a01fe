#pragma once
#include <QString>

#include "VivirovKit/Agentic/ArtifactEngine.h"

namespace vivirov {

// The self-contained HTML page that renders one artifact. React and Mermaid
// pages load their runtimes by relative file name from the page's folder.
class ArtifactPage {
public:
    // React, SVG and Mermaid get a generated page, HTML is its own page, and
    // Markdown has none (the empty text): the card renders it itself.
    static QString scaffold(const Artifact& artifact);
    static QString reactScaffold(const QString& source);
    static QString mermaidScaffold(const QString& source);
    // Import lines dropped, default exports turned into globals, since the
    // page has no module loader.
    static QString rewriteReactSource(const QString& source);

    ArtifactPage() = delete;
};

} // namespace vivirov

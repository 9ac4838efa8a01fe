#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Support/UUID.h"

namespace vivirov {

enum class ArtifactKind { react, html, svg, mermaid, markdown };

// "react", "html", "svg", "mermaid", "markdown".
const char* rawValue(ArtifactKind kind);
// Exactly one of the raw values (case-sensitive), else none.
std::optional<ArtifactKind> artifactKindFromRaw(std::string_view raw);
// "React", "HTML", "SVG", "Diagram", "Document".
const char* displayName(ArtifactKind kind);
// The kind a fence's language tag names, compared whole after lower-casing
// (react/jsx/tsx, html/htm, svg, mermaid, markdown/md), else none.
std::optional<ArtifactKind> artifactKindFromTag(std::string_view tag);

// A renderable block of a model's answer.
struct Artifact {
    UUID id;
    ArtifactKind kind = ArtifactKind::markdown;
    std::string title;
    // The block's text exactly as written between the language line and the
    // closing fence (or the end of the text while the block is open).
    std::string content;
    bool isStreaming = false;

    bool operator==(const Artifact&) const = default;
};

// Finds artifact blocks in answer text. Stateless; safe from any thread.
class ArtifactEngine {
public:
    // Every artifact block in text order, each with a fresh id and
    // isStreaming false. A text ending inside an open block yields that block.
    static std::vector<Artifact> extract(std::string_view text);
    // The last artifact of the text (the growing one while a reply streams)
    // with isStreaming set to the flag; none without an artifact block.
    static std::optional<Artifact> current(std::string_view text, bool isStreaming);

private:
    static std::string title(ArtifactKind kind, std::string_view code);
    static std::optional<std::string> between(std::string_view text, std::string_view open,
                                              std::string_view close);
    static std::optional<std::string> firstIdentifier(const std::vector<std::string_view>& keywords,
                                                      std::string_view text);
};

} // namespace vivirov

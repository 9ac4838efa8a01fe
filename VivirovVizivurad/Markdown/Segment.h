#pragma once
#include <QString>
#include <optional>
#include <vector>

namespace vivirov {

// A block of a finished message: prose, or the code between two fences.
struct Segment {
    enum class Kind { prose, code };
    int id = 0;  // position in the parse result
    Kind kind = Kind::prose;
    QString text;
    std::optional<QString> lang;
    bool operator==(const Segment&) const = default;

    // Splits at every run of three backticks, wherever it stands; odd pieces
    // are code. Never empty: a text with no block gives one prose segment.
    static std::vector<Segment> parse(const QString& text);
};

} // namespace vivirov

#pragma once
#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

namespace vivirov {

enum class FMBlockKind { prose, code };

// One piece of a streaming answer rendered as a whole: a prose paragraph (or
// a chunk of a long one) or one line of fenced code.
struct FMSegment {
    QString text;
    FMBlockKind kind = FMBlockKind::prose;
    std::optional<QString> lang;  // the fence's language; none for prose
    bool operator==(const FMSegment&) const = default;
};

// Where segmentation stopped: everything before committedSrc (UTF-16 units)
// is committed; inFence says whether that point lies inside a code fence.
struct FMIncrementalState {
    qsizetype committedSrc = 0;
    bool inFence = false;
    std::optional<QString> fenceLang;
    bool operator==(const FMIncrementalState&) const = default;
};

struct FMAdvance {
    std::vector<FMSegment> commit;  // newly completed segments, in text order
    FMSegment open;                 // the unfinished tail
    FMIncrementalState state;       // hand back on the next call
};

// Splits a growing text into segments that never change once complete.
// Work is proportional to the text after the committed offset.
class FMIncremental {
public:
    static constexpr qsizetype chunkLimit = 2048;

    static FMAdvance advance(QStringView text, const FMIncrementalState& state);
    // The line from its first non-space character when it opens with three
    // backticks after at most three spaces; else none.
    static std::optional<QStringView> fencePrefix(QStringView line);
    // Everything after the three backticks, trimmed; none when empty.
    static std::optional<QString> langOf(QStringView line);

    FMIncremental() = delete;
};

} // namespace vivirov

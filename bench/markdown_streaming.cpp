// Streams a 200 KB answer into the streaming Markdown renderer in 4-unit
// steps and compares its update rate with appending the same steps as plain
// text to a text view's document in the same run. Targets: the renderer keeps
// at least a fifth of the plain rate, and its last tenth of updates costs at
// most 1.5 times its first tenth (cost follows what arrived, not the length).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTextCursor>
#include <QTextEdit>
#include <chrono>

#include "VivirovVizivurad/Markdown/FastMarkdownRenderer.h"

using namespace vivirov;
using Clock = std::chrono::steady_clock;

namespace {
QString sampleAnswer() {
    QString text;
    int section = 0;
    while (text.size() < 200 * 1024) {
        text += QStringLiteral("## Step %1\n\nThe change keeps **every** caller working and moves the `parser` into "
                               "its own file, as discussed in [the notes](https://example.org/notes). It also "
                               "trims a few _redundant_ checks.\nA second line of the same paragraph.\n\n")
                    .arg(++section);
        text += QStringLiteral("```cpp\nint main() {\n    return run(argc, argv);\n}\n```\n\n");
        if (section == 10) text += QString(10 * 1024, u'w') + QStringLiteral("\n\n");
    }
    return text.left(200 * 1024);
}

struct Timing {
    double total = 0, firstTenth = 0, lastTenth = 0;
    long updates = 0;
};

template <class Update>
Timing stream(const QString& text, Update&& update) {
    constexpr qsizetype step = 4;
    const long count = long((text.size() + step - 1) / step);
    Timing timing;
    for (long i = 0; i < count; ++i) {
        const auto start = Clock::now();
        update(std::min(text.size(), (i + 1) * step), i * step);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        timing.total += seconds;
        if (i < count / 10) timing.firstTenth += seconds;
        if (i >= count - count / 10) timing.lastTenth += seconds;
    }
    timing.updates = count;
    return timing;
}
} // namespace

static void BM_StreamingRendererVsPlainAppend(benchmark::State& state) {
    const QString text = sampleAnswer();
    for (auto _ : state) {
        FastMarkdownRenderer renderer;
        renderer.sizeThatFits(640);
        FastMarkdownInput input;
        input.isStreaming = true;
        input.textColor = Qt::white;
        const Timing ours = stream(text, [&](qsizetype end, qsizetype) {
            input.text = text.left(end);
            renderer.updateContent(input);
        });

        QTextEdit plain;
        plain.setLineWrapMode(QTextEdit::FixedPixelWidth);
        plain.setLineWrapColumnOrWidth(640);
        QTextCursor cursor(plain.document());
        const Timing baseline = stream(text, [&](qsizetype end, qsizetype begin) {
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(text.mid(begin, end - begin));
        });

        state.counters["updates_per_s"] = double(ours.updates) / ours.total;
        state.counters["baseline_updates_per_s"] = double(baseline.updates) / baseline.total;
        state.counters["rate_vs_baseline"] = baseline.total / ours.total;  // target >= 0.2
        state.counters["last_over_first_tenth"] = ours.lastTenth / ours.firstTenth;  // target <= 1.5
    }
}
BENCHMARK(BM_StreamingRendererVsPlainAppend)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

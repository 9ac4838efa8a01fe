// One frame of the route-change drawing at the window's default pane size
// (1280 × 860), beside a plain crossfade of the same two pictures in the same
// run. Target: the frame costs at most 10 times the crossfade, which keeps it
// inside a 60 Hz frame in software rendering.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLinearGradient>
#include <QPainter>

#include "VivirovVizivurad/App/Columns/PillarLook.h"
#include "VivirovVizivurad/App/Columns/PillarTransition.h"
#include "bench/guards_ratio_reporter.h"

using namespace vivirov;

namespace {

constexpr QSize kPane(1280, 860);

// A screen-like picture: a gradient with rows of text.
QImage screen(QColor tint) {
    QImage image(kPane, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, kPane.width(), kPane.height());
    gradient.setColorAt(0, tint);
    gradient.setColorAt(1, tint.darker(300));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(Qt::white);
    for (int y = 20; y < kPane.height(); y += 22)
        painter.drawText(20, y, QStringLiteral("The quick brown fox jumps over the lazy dog %1").arg(y));
    return image;
}

struct Pictures {
    QImage from = screen(QColor(40, 90, 160));
    QImage to = screen(QColor(160, 60, 90));
    QImage target{kPane, QImage::Format_ARGB32_Premultiplied};
};

Pictures& pictures() {
    static Pictures p;
    return p;
}

void Transition_measured(benchmark::State& state) {
    Pictures& p = pictures();
    const PillarSnapshot from(p.from), to(p.to);
    for (auto _ : state) {
        QPainter painter(&p.target);
        painter.fillRect(p.target.rect(), Qt::black);
        PillarTransition::paintFrame(painter, QRectF(QPointF(0, 0), QSizeF(kPane)), from, to, 0.5);
    }
}

void Transition_baseline(benchmark::State& state) {
    Pictures& p = pictures();
    for (auto _ : state) {
        QPainter painter(&p.target);
        painter.fillRect(p.target.rect(), Qt::black);
        painter.setOpacity(0.5);
        painter.drawImage(0, 0, p.from);
        painter.drawImage(0, 0, p.to);
    }
}

// Preparing the pictures happens once per route change, not per frame.
void Snapshot_prepare(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(PillarSnapshot(pictures().from));
}

} // namespace

BENCHMARK(Transition_measured)->Name("frame1280x860/measured")->Unit(benchmark::kMillisecond);
BENCHMARK(Transition_baseline)->Name("frame1280x860/baseline")->Unit(benchmark::kMillisecond);
BENCHMARK(Snapshot_prepare)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return vivirov::bench::runWithRatios(argc, argv);
}

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QToolButton>
#include <QVariant>
#include <QWebEnginePage>

#include "VivirovVizivurad/Artifacts/ArtifactSizeBridge.h"
#include "VivirovVizivurad/Artifacts/ArtifactView.h"
#include "VivirovVizivurad/Artifacts/ArtifactWebView.h"
#include "tests/support/QtHarness.h"
#include "tests/support/WebEngineApp.h"

using namespace vivirov;
using test::webApp;

namespace {
Artifact artifact(ArtifactKind kind, const std::string& content, bool streaming = false) {
    Artifact a;
    a.kind = kind;
    a.title = "Sample";
    a.content = content;
    a.isStreaming = streaming;
    return a;
}

int countPixels(QWidget& view, QRgb color) {
    const QImage image = view.grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xffffff) == (color & 0xffffff)) ++count;
    return count;
}

QString pageText(QWebEngineView& view) {
    QString text;
    bool done = false;
    view.page()->runJavaScript(QStringLiteral("document.body ? document.body.innerText : ''"),
                               [&](const QVariant& value) { text = value.toString(); done = true; });
    test::qtWaitUntil([&] { return done; }, 5000);
    return text;
}

bool diagramDrawn(QWebEngineView& view) {
    bool drawn = false, done = false;
    view.page()->runJavaScript(
        QStringLiteral("!!document.querySelector('.mermaid svg') && !document.getElementById('__l')"),
        [&](const QVariant& value) { drawn = value.toBool(); done = true; });
    test::qtWaitUntil([&] { return done; }, 5000);
    return drawn;
}

bool waitForText(ArtifactWebView& view, const QString& needle, int limitMs = 60000) {
    return test::qtWaitUntil([&] { return pageText(view).contains(needle); }, limitMs);
}

struct Shown {
    QTemporaryDir dir;
    ArtifactWebView view;
    double lastHeight = 0;
    explicit Shown(QString folder = {}) : view(nullptr, folder.isEmpty() ? dir.path() + "/artifacts" : folder) {
        view.setOnHeight([this](double h) { lastHeight = h; });
        view.resize(480, 320);
        view.show();
    }
};

const char* redReact =
    "import React from 'react';\n"
    "export default function App() {\n"
    "  return <div style={{background: '#ff0000', height: 120}}>Hello</div>;\n"
    "}\n";
const char* redSvg =
    "<svg xmlns='http://www.w3.org/2000/svg' width='200' height='100'><rect width='200' height='100' fill='#ff0000'/></svg>";
} // namespace

TEST(ArtifactSizeBridge, AcceptsOnlyNumbersAboveOne) {
    EXPECT_FALSE(ArtifactSizeBridge::height(QVariant(0.0)).has_value());
    EXPECT_FALSE(ArtifactSizeBridge::height(QVariant(1.0)).has_value());
    EXPECT_FALSE(ArtifactSizeBridge::height(QVariant(QStringLiteral("300"))).has_value());
    EXPECT_FALSE(ArtifactSizeBridge::height(QVariant()).has_value());
    EXPECT_EQ(ArtifactSizeBridge::height(QVariant(1.5)), 1.5);
    EXPECT_EQ(ArtifactSizeBridge::height(QVariant(240)), 240.0);
}

TEST(ArtifactWebView, ReactSvgAndMermaidRenderAndReportHeights) {
    webApp();
    Shown react, svg, mermaid;
    react.view.setArtifact(artifact(ArtifactKind::react, redReact));
    svg.view.setArtifact(artifact(ArtifactKind::svg, redSvg));
    mermaid.view.setArtifact(artifact(ArtifactKind::mermaid, "graph TD\n  A[Start] -->|go| B[End]\n"));

    EXPECT_TRUE(test::qtWaitUntil([&] { return countPixels(svg.view, 0xff0000) > 1000; }, 60000));
    EXPECT_TRUE(test::qtWaitUntil([&] { return countPixels(react.view, 0xff0000) > 1000; }, 60000))
        << pageText(react.view).toStdString();
    // The source text is on the page from the start; only a drawn diagram
    // (and the loading line gone) shows that Mermaid ran.
    EXPECT_TRUE(test::qtWaitUntil([&] { return diagramDrawn(mermaid.view); }, 60000)) << pageText(mermaid.view).toStdString();
    EXPECT_TRUE(pageText(mermaid.view).contains("Start"));
    EXPECT_FALSE(pageText(mermaid.view).contains("Loading diagram"));
    EXPECT_TRUE(test::qtWaitUntil([&] { return react.lastHeight > 1 && svg.lastHeight > 1 && mermaid.lastHeight > 1; }));
}

TEST(ArtifactWebView, BrokenJsxShowsTheCompileError) {
    webApp();
    Shown shown;
    shown.view.setArtifact(artifact(ArtifactKind::react, "function App() { return <div>; }"));
    EXPECT_TRUE(waitForText(shown.view, "Compile error: ")) << pageText(shown.view).toStdString();
}

TEST(ArtifactWebView, ReloadsOnlyWhenThePageChanges) {
    webApp();
    Shown shown;
    shown.view.setArtifact(artifact(ArtifactKind::html, "<p>one</p>"));
    shown.view.setArtifact(artifact(ArtifactKind::html, "<p>one</p>", true));
    EXPECT_EQ(shown.view.loadCount(), 1);
    shown.view.setArtifact(artifact(ArtifactKind::html, "<p>onE</p>"));
    EXPECT_EQ(shown.view.loadCount(), 2);
    EXPECT_TRUE(waitForText(shown.view, "onE"));
    shown.view.setArtifact(artifact(ArtifactKind::markdown, "# never a page"));
    EXPECT_EQ(shown.view.loadCount(), 3);  // an empty page differs from the last one

    // Two views of one kind never share a page file.
    Shown other(shown.dir.path() + "/artifacts");
    other.view.setArtifact(artifact(ArtifactKind::html, "<p>two</p>"));
    EXPECT_NE(other.view.pageFile(), shown.view.pageFile());
    EXPECT_TRUE(waitForText(other.view, "two"));
}

TEST(ArtifactWebView, UnwritableFolderStillRendersHtml) {
    webApp();
    QTemporaryDir dir;
    QFile blocker(dir.path() + "/file");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Shown html(dir.path() + "/file/artifacts"), react(dir.path() + "/file/artifacts");
    html.view.setArtifact(artifact(ArtifactKind::html, "<body style='margin:0;background:#ff0000'><p>x</p></body>"));
    react.view.setArtifact(artifact(ArtifactKind::react, redReact));
    EXPECT_TRUE(test::qtWaitUntil([&] { return countPixels(html.view, 0xff0000) > 1000; }, 60000));
    EXPECT_TRUE(test::qtWaitUntil([&] {
        const QString text = pageText(react.view);
        return text.contains("Could not load React.") || text.contains("Could not load ReactDOM.") ||
               text.contains("Could not load Babel.") || text.contains("did not load");
    }, 60000)) << pageText(react.view).toStdString();
}

TEST(ArtifactView, HeaderButtonsBadgeAndHeightRule) {
    webApp();
    QTemporaryDir dir;
    ArtifactView bare(artifact(ArtifactKind::markdown, "# Doc", true), nullptr, nullptr, true, nullptr,
                      dir.path() + "/a");
    EXPECT_EQ(bare.headerButtons().size(), 2);
    EXPECT_TRUE(bare.showsLiveBadge());
    EXPECT_EQ(bare.autosizeHeight(), 520);
    bare.setArtifact(artifact(ArtifactKind::markdown, "# Doc", false));
    EXPECT_FALSE(bare.showsLiveBadge());

    int closed = 0, focused = 0;
    ArtifactView full(artifact(ArtifactKind::svg, redSvg), [&] { ++closed; }, [&] { ++focused; }, true, nullptr,
                      dir.path() + "/a");
    const auto buttons = full.headerButtons();
    ASSERT_EQ(buttons.size(), 4);
    QStringList tips;
    for (auto* b : buttons) tips << b->toolTip();
    EXPECT_EQ(tips, QStringList({"Focus (full screen)", "View source", "Copy source", "Close artifact"}));
    buttons[0]->click();
    buttons[3]->click();
    EXPECT_EQ(focused, 1);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(full.autosizeHeight(), 408);

    full.sourceButton()->click();
    EXPECT_TRUE(full.showsSource());
    EXPECT_EQ(full.sourceButton()->toolTip(), QStringLiteral("Show preview"));
    EXPECT_EQ(full.autosizeHeight(), 520);
    full.sourceButton()->click();

    full.copyButton()->click();
    EXPECT_EQ(full.copyButton()->property("symbol").toString(), QStringLiteral("checkmark"));
    EXPECT_TRUE(test::qtWaitUntil([&] { return !full.copied(); }, 20000));
    EXPECT_EQ(full.copyButton()->property("symbol").toString(), QStringLiteral("doc.on.doc"));
}

TEST(ArtifactView, SelfSizedCardHoldsItsHeight) {
    webApp();
    QTemporaryDir dir;
    ArtifactView card(artifact(ArtifactKind::svg, redSvg), nullptr, nullptr, true, nullptr, dir.path() + "/a");
    card.resize(480, card.height());
    card.show();
    EXPECT_EQ(card.header()->height() + 1, ArtifactView::chromeHeight);
    ASSERT_TRUE(test::qtWaitUntil([&] { return card.measuredHeight().has_value(); }, 60000));
    test::qtWaitUntil([] { return false; }, 1500);  // let the first reports settle
    const int settled = card.height();
    EXPECT_EQ(settled, int(card.autosizeHeight()));
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 2000) {
        test::qtWaitUntil([] { return false; }, 100);
        ASSERT_EQ(card.height(), settled) << "after " << timer.elapsed() << " ms";
    }
}

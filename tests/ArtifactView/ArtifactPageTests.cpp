#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <sys/stat.h>

#include "VivirovVizivurad/Artifacts/ArtifactFolder.h"
#include "VivirovVizivurad/Artifacts/ArtifactPage.h"

using namespace vivirov;

namespace {
Artifact artifact(ArtifactKind kind, const std::string& content) {
    Artifact a;
    a.kind = kind;
    a.title = "t";
    a.content = content;
    return a;
}
const QString style = QStringLiteral(
    "html,body{margin:0;height:100%;font-family:-apple-system,BlinkMacSystemFont,system-ui,sans-serif;\n"
    "background:#0c0c11;color:#ececf1}");
} // namespace

TEST(ArtifactPage, GoldenPages) {
    EXPECT_EQ(ArtifactPage::scaffold(artifact(ArtifactKind::svg, "<svg/>")),
              "<!doctype html><html><head><meta charset=\"utf-8\"><style>" + style +
                  "\nbody{display:grid;place-items:center;padding:16px;box-sizing:border-box}\n"
                  "svg{max-width:100%;max-height:100%;height:auto}</style></head>\n<body><svg/></body></html>");
    EXPECT_EQ(ArtifactPage::scaffold(artifact(ArtifactKind::html, "<p>as is</p>")), "<p>as is</p>");
    EXPECT_EQ(ArtifactPage::scaffold(artifact(ArtifactKind::markdown, "# doc")), QString());

    const QString mermaid = ArtifactPage::scaffold(artifact(ArtifactKind::mermaid, "A-->|a&b|B<C"));
    EXPECT_TRUE(mermaid.startsWith("<!doctype html><html><head><meta charset=\"utf-8\">\n<style>" + style +
                                   " body{display:grid;place-items:center;padding:16px}.mermaid{max-width:96vw}\n"
                                   ".__load{color:#888;font:13px ui-monospace,Menlo,monospace}</style></head>\n"
                                   "<body><pre class=\"mermaid\">A--&gt;|a&amp;b|B&lt;C</pre>\n"
                                   "<div class=\"__load\" id=\"__l\">Loading diagram…</div>\n"
                                   "<script src=\"mermaid.min.js\"\n  onload="));
    EXPECT_TRUE(mermaid.contains("theme:'dark',securityLevel:'loose'"));
    EXPECT_TRUE(mermaid.endsWith("></script>\n</body></html>"));

    const QString react = ArtifactPage::scaffold(artifact(ArtifactKind::react, "function App(){}"));
    EXPECT_TRUE(react.startsWith("<!doctype html><html><head><meta charset=\"utf-8\">\n<style>" + style +
                                 " #root{height:100%;box-sizing:border-box}\n"));
    EXPECT_TRUE(react.contains("<div id=\"root\"><div class=\"__load\">Loading React runtime…</div></div>\n"
                               "<script id=\"__src\" type=\"text/plain\">\nfunction App(){}\n</script>\n<script>\n"));
    EXPECT_TRUE(react.endsWith(
        "<script src=\"react.production.min.js\" onerror=\"__showErr('Could not load React.')\"></script>\n"
        "<script src=\"react-dom.production.min.js\" onerror=\"__showErr('Could not load ReactDOM.')\"></script>\n"
        "<script src=\"babel.min.js\" onload=\"__mountReact()\" onerror=\"__showErr('Could not load Babel.')\"></script>\n"
        "</body></html>"));
}

TEST(ArtifactPage, ReactRewrite) {
    const struct {
        const char* name;
        QString source, rewritten;
    } cases[] = {
        {"imports dropped, blank lines kept", "import React from 'react';\n\n  \timport {x} from 'y'\nconst a = 1; // import here\n",
         "\nconst a = 1; // import here\n"},
        {"default function keeps its name", "export default function App() {}", "function App() {}"},
        {"default name", "const C = () => 1;\nexport default C;", "const C = () => 1;\nvar __DEFAULT__ = C;"},
        {"inside a string too", "s = 'export default x'", "s = 'var __DEFAULT__ = x'"},
        {"anonymous default function stays an expression", "export default function () {}",
         "var __DEFAULT__ = function () {}"},
        {"anonymous without a blank", "export default function(){}", "var __DEFAULT__ = function (){}"},
    };
    for (const auto& c : cases) EXPECT_EQ(ArtifactPage::rewriteReactSource(c.source), c.rewritten) << c.name;
}

TEST(ArtifactFolder, PrivateFolderAndContentComparedStaging) {
    QTemporaryDir root;
    const QString folder = root.path() + "/artifacts";
    ASSERT_TRUE(ArtifactFolder::prepare(folder));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A wider folder is narrowed; a symbolic link or a file is refused.
    ::chmod(QFile::encodeName(folder).constData(), 0777);
    EXPECT_TRUE(ArtifactFolder::prepare(folder));
    ::stat(QFile::encodeName(folder).constData(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_TRUE(QFile::link(folder, root.path() + "/link"));
    EXPECT_FALSE(ArtifactFolder::prepare(root.path() + "/link"));
    QFile(root.path() + "/plain").open(QIODevice::WriteOnly);
    EXPECT_FALSE(ArtifactFolder::prepare(root.path() + "/plain"));
    EXPECT_FALSE(ArtifactFolder::prepare(root.path() + "/plain/sub"));

    // A planted copy of the right size but other content is replaced.
    QFile real(ArtifactFolder::resourcePrefix + "react.production.min.js");
    ASSERT_TRUE(real.open(QIODevice::ReadOnly)) << "runtime resources missing";
    const QByteArray wanted = real.readAll();
    QFile planted(folder + "/react.production.min.js");
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.write(QByteArray(wanted.size(), 'x'));
    planted.close();
    ArtifactFolder::stageRuntime(folder);
    for (const QString& name : ArtifactFolder::runtimeFiles) EXPECT_TRUE(QFile::exists(folder + "/" + name)) << name.toStdString();
    QFile staged(folder + "/react.production.min.js");
    ASSERT_TRUE(staged.open(QIODevice::ReadOnly));
    EXPECT_EQ(staged.readAll(), wanted);

    // A runtime missing from the resources is skipped; the others are staged.
    QTemporaryDir resources, second;
    for (const QString& name : {QString("react.production.min.js"), QString("babel.min.js")}) {
        QFile f(resources.path() + "/" + name);
        f.open(QIODevice::WriteOnly);
        f.write("//" + name.toUtf8());
    }
    ArtifactFolder::stageRuntime(second.path(), resources.path() + "/");
    EXPECT_TRUE(QFile::exists(second.path() + "/react.production.min.js"));
    EXPECT_TRUE(QFile::exists(second.path() + "/babel.min.js"));
    EXPECT_FALSE(QFile::exists(second.path() + "/mermaid.min.js"));
}

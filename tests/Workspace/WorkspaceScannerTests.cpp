#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QSettings>

#include <filesystem>

#include "VivirovVizivurad/Workspace/WorkspaceListing.h"
#include "VivirovVizivurad/Workspace/WorkspaceScannerModel.h"
#include "VivirovVizivurad/Workspace/WorkspaceScannerView.h"
#include "tests/support/QtHarness.h"
#include "tests/support/TempDir.h"

namespace vivirov {
namespace {

namespace fs = std::filesystem;

QStringList names(const std::vector<WorkspaceEntry>& entries) {
    QStringList out;
    for (const auto& entry : entries) out << entry.name;
    return out;
}

TEST(WorkspaceListing, SkipsHiddenAndToolFoldersAndSortsByCodePoint) {
    test::TempDir root;
    for (const char* dir : {".git", "node_modules", "DerivedData", "src", ".build"})
        fs::create_directories(root.file(dir));
    root.write(".env", "x");
    root.write("README.md", "x");
    const auto entries = WorkspaceListing::scan(QString::fromStdString(root.path()));
    ASSERT_EQ(names(entries), (QStringList{"README.md", "src"}));
    EXPECT_FALSE(entries[0].isDir);
    EXPECT_TRUE(entries[1].isDir);
    EXPECT_EQ(entries[1].path, QString::fromStdString(root.file("src")));
    EXPECT_EQ(entries[1].id, entries[1].path);
    EXPECT_EQ(WorkspaceListing::icon(entries[0].name), "doc.richtext");
}

TEST(WorkspaceListing, CapsAtEightyInPlainCodePointOrder) {
    test::TempDir root;
    // 200 visible names: folders and files mixed, numbers compared as text.
    for (int i = 0; i < 100; ++i) fs::create_directories(root.file("d" + std::to_string(i)));
    for (int i = 0; i < 100; ++i) root.write("f" + std::to_string(i), "");
    const auto entries = WorkspaceListing::scan(QString::fromStdString(root.path()));
    ASSERT_EQ(entries.size(), 80u);
    QStringList all;
    for (int i = 0; i < 100; ++i) all << QStringLiteral("d%1").arg(i) << QStringLiteral("f%1").arg(i);
    std::sort(all.begin(), all.end(), WorkspaceListing::lessByCodePoint);
    EXPECT_EQ(names(entries), all.mid(0, 80));
    EXPECT_EQ(entries[1].name, "d1");
    EXPECT_EQ(entries[2].name, "d10"); // "d10" before "d2"
}

TEST(WorkspaceListing, OrdersByCodePointNotByUtf16UnitsNorLocale) {
    // U+1F600 (a surrogate pair) comes after U+FF21 in code-point order.
    const QString emoji = QString::fromUcs4(U"\U0001F600");
    const QString fullwidth = QString::fromUcs4(U"\uFF21");
    EXPECT_TRUE(WorkspaceListing::lessByCodePoint(fullwidth, emoji));
    EXPECT_TRUE(WorkspaceListing::lessByCodePoint("Zeta", "alpha"));
    // A composed and a decomposed é are the same name.
    const QString composed = QString::fromUcs4(U"\u00E9");
    const QString decomposed = QString::fromUcs4(U"e\u0301");
    EXPECT_FALSE(WorkspaceListing::lessByCodePoint(composed, decomposed));
    EXPECT_FALSE(WorkspaceListing::lessByCodePoint(decomposed, composed));
}

TEST(WorkspaceListing, IconsFollowTheLowerCasedExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"main.swift", "swift"},   {"a.CPP", "chevron.left.forwardslash.chevron.right"},
        {"x.py", "chevron.left.forwardslash.chevron.right"},
        {"notes.md", "doc.richtext"}, {"data.JSON", "curlybraces"}, {"c.yml", "curlybraces"},
        {"Makefile", "doc"},       {"archive.tar.gz", "doc"},       {"trailing.", "doc"}};
    for (auto [name, symbol] : cases) EXPECT_EQ(WorkspaceListing::icon(name), symbol) << name;
}

TEST(WorkspaceListing, EmptyMissingOrOnlyHiddenRootsListNothing) {
    test::TempDir root;
    root.write(".hidden", "");
    root.write("file.txt", "");
    EXPECT_TRUE(WorkspaceListing::scan("").empty());
    EXPECT_TRUE(WorkspaceListing::scan(QString::fromStdString(root.file("missing"))).empty());
    EXPECT_TRUE(WorkspaceListing::scan(QString::fromStdString(root.file("file.txt"))).empty());
    fs::remove(root.file("file.txt"));
    EXPECT_TRUE(WorkspaceListing::scan(QString::fromStdString(root.path())).empty());
}

class Scanner : public ::testing::Test {
protected:
    Scanner() : settings(QString::fromStdString(dir.file("settings.ini")), QSettings::IniFormat) {
        test::qtApp();
        fs::create_directories(dir.file("root/src"));
        dir.write("root/README.md", "x");
        dir.write("root/a.json", "{}");
    }
    QString root() const { return QString::fromStdString(dir.file("root")); }

    test::TempDir dir;
    QSettings settings;
    std::optional<QString> answer;
    int asked = 0;
};

TEST_F(Scanner, ChosenFolderIsStoredListedAndCancelKeepsEverything) {
    WorkspaceScannerModel model(settings, [&] {
        ++asked;
        return answer;
    });
    WorkspaceScannerView view(model);
    view.show();
    EXPECT_TRUE(view.hint()->isVisible());
    EXPECT_EQ(view.hint()->text(), "Select a project folder to ground ZOV4 in local context.");

    answer = root();
    model.pickFolder();
    EXPECT_EQ(settings.value(WorkspaceScannerModel::kRootKey).toString(), root());
    EXPECT_FALSE(view.hint()->isVisible());
    EXPECT_EQ(view.folderLabel()->text(), "root");
    ASSERT_EQ(view.list()->count(), 3);
    EXPECT_EQ(view.list()->item(0)->text(), "README.md");

    answer.reset();
    model.pickFolder();
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(model.rootPath(), root());
    EXPECT_EQ(model.entries().size(), 3u);

    // The next launch starts from the stored folder.
    WorkspaceScannerModel again(settings, {});
    EXPECT_EQ(again.entries().size(), 3u);
}

TEST_F(Scanner, SelectionFollowsClicksAndSurvivesRescans) {
    WorkspaceScannerModel model(settings, {});
    model.setRootPath(root());
    WorkspaceScannerView view(model);
    view.show();
    emit view.list()->itemClicked(view.list()->item(1));
    EXPECT_EQ(model.selected(), QString::fromStdString(dir.file("root/a.json")));
    dir.write("root/0-new.txt", "");
    model.rescan();
    ASSERT_EQ(view.list()->count(), 4);
    const auto selected = view.list()->selectedItems();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected.front()->text(), "a.json");

    model.setRootPath(QString::fromStdString(dir.file("nowhere/else")));
    EXPECT_EQ(view.list()->count(), 0);
    EXPECT_EQ(view.folderLabel()->text(), "else");
    model.setRootPath("");
    EXPECT_TRUE(view.hint()->isVisible());
    EXPECT_TRUE(model.entries().empty());
}

} // namespace
} // namespace vivirov

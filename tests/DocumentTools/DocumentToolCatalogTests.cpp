// The tools as registered for the agent: names, schemas and the defaults the
// handlers put in place of missing arguments.
#include <gtest/gtest.h>

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Tools/Documents/DocumentToolCatalog.h"
#include "tests/DocumentTools/DocumentFixture.h"

namespace vivirov {
namespace {

using Catalog = test::DocumentFixture;

std::string call(const std::string& name, const DocumentToolCatalog::Arguments& args) {
    auto handler = DocumentToolCatalog::handler(name);
    EXPECT_TRUE(handler) << name;
    return handler ? handler(args) : std::string();
}

TEST_F(Catalog, OffersTwelveToolsInRegistrationOrder) {
    std::vector<std::string> names;
    for (const auto& s : DocumentToolCatalog::schemas()) names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"pdf_extract", "document_create", "excel_sum", "document_edit",
                                               "excel_query", "excel_update", "pdf_fill_form", "ppt_create",
                                               "document_convert", "workspace_scan", "workspace_search", "file_tree"}));
    EXPECT_FALSE(DocumentToolCatalog::handler("execute_bash"));
    const ToolSchema& edit = DocumentToolCatalog::entries()[3].schema;
    ASSERT_EQ(edit.parameters.size(), 4u);
    EXPECT_TRUE(edit.parameters[1].required);
    EXPECT_FALSE(edit.parameters[2].required);
}

TEST_F(Catalog, FileTreeReadsItsDepthLeniently) {
    std::string log = work.file("argv.log");
    ProgramPaths::ScopedOverride find("find", fakeProgram("find", "echo \"$@\" >> " + log));
    call("file_tree", {});
    call("file_tree", {{"root", "/r"}, {"depth", ""}});
    call("file_tree", {{"root", "/r"}, {"depth", "+3"}});
    call("file_tree", {{"root", "/r"}, {"depth", "deep"}});
    call("file_tree", {{"root", "/r"}, {"depth", "9"}});
    std::string home = work.path() + "/home";
    EXPECT_EQ(test::TempDir::read(log), home + " -maxdepth 2 -print\n/r -maxdepth 2 -print\n/r -maxdepth 3 -print\n"
                                               "/r -maxdepth 2 -print\n/r -maxdepth 4 -print\n");
}

TEST_F(Catalog, WorkspaceToolsDefaultToTheHomeFolderAndTheirLimits) {
    for (int i = 0; i < 45; ++i) work.write("home/f" + std::to_string(i) + ".txt", "needle\n");
    EXPECT_EQ(call("workspace_scan", {}).rfind("found 40:\n", 0), 0u);
    std::string hits = call("workspace_search", {{"pattern", "needle"}});
    EXPECT_EQ(std::count(hits.begin(), hits.end(), '\n'), 29);
}

TEST_F(Catalog, DocumentCreateConfirmsWithThePathOrFallsBackToThePlainWriter) {
    std::string rich = work.file("rich.docx");
    EXPECT_EQ(call("document_create", {{"path", rich}, {"title", "T"}, {"content", "body"}}), "ok: wrote docx " + rich);

    ProgramPaths::ScopedOverride brokenPython("python3", "/bin/false");
    std::string plain = work.file("plain.docx");
    std::string answer = call("document_create", {{"path", plain}, {"title", "Title"}, {"content", "body"}});
    EXPECT_EQ(answer, "ok: wrote docx " + plain + " (11 source chars)");
    ProgramPaths::ScopedOverride python("python3", "/usr/bin/python3");
    auto p = nlohmann::json::parse(describeDocx(plain))["p"];
    ASSERT_EQ(p.size(), 3u) << p;
    EXPECT_EQ(p[0][1], "Title");
    EXPECT_EQ(p[2][1], "body");
}

TEST_F(Catalog, ExcelToolsDefaultToColumnBAndCellA1) {
    std::string path = work.file("book.xlsx");
    python("from openpyxl import Workbook\nwb = Workbook()\nws = wb.active\nws['B2'] = 2\nws['B3'] = 3\nwb.save(" +
           pyString(path) + ")");
    EXPECT_EQ(call("excel_sum", {{"path", path}}), "5.0");
    EXPECT_EQ(call("excel_update", {{"path", path}, {"value", "7"}}), "ok: " + path + " A1=7");
    EXPECT_EQ(call("excel_query", {{"path", path}}), "# sheet Sheet\n7\t\n\t2\n\t3");
}

} // namespace
} // namespace vivirov

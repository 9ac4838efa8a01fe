// Writing, editing and converting office documents on real files, read back
// with the same libraries.
#include <gtest/gtest.h>

#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Tools/Documents/DocumentTools.h"
#include "tests/DocumentTools/DocumentFixture.h"

namespace vivirov {
namespace {

using nlohmann::json;

class Office : public test::DocumentFixture {
protected:
    json describe(const std::string& docxPath) { return json::parse(describeDocx(docxPath)); }

    std::string workbook(const std::string& name, const std::string& fill) {
        std::string path = work.file(name);
        python("from openpyxl import Workbook\nwb = Workbook()\nws = wb.active\n" + fill + "\nwb.save(" + pyString(path) + ")");
        return path;
    }

    std::string cellRepr(const std::string& path, const std::string& cell) {
        return python("from openpyxl import load_workbook\nprint(repr(load_workbook(" + pyString(path) + ").active['" + cell +
                      "'].value), end='')");
    }

    // A one-page PDF, with a text form field named `field` when one is given.
    std::string pdf(const std::string& name, const std::string& field) {
        std::string path = work.file(name);
        std::string code = "import fitz\ndoc = fitz.open()\npage = doc.new_page()\n";
        if (!field.empty())
            code += "w = fitz.Widget()\nw.field_name = '" + field +
                    "'\nw.field_type = fitz.PDF_WIDGET_TYPE_TEXT\nw.rect = fitz.Rect(72, 100, 300, 120)\npage.add_widget(w)\n";
        python(code + "doc.save(" + pyString(path) + ")");
        return path;
    }

    std::string widgetValues(const std::string& path) {
        return python("import fitz\nd = fitz.open(" + pyString(path) +
                      ")\nprint(';'.join('%s=%s' % (w.field_name, w.field_value) for p in d for w in p.widgets()), end='')");
    }
};

TEST_F(Office, CreateDocxWritesEachLineAsAParagraphIntoNewFolders) {
    std::string target = work.file("new/deeper/out.docx");
    std::string content = "First line with *stars*\n# not a heading\n\tTabbed é";
    EXPECT_EQ(DocumentTools::createDocx(target, content),
              "ok: wrote docx " + target + " (49 source chars)");
    json d = describe(target);
    ASSERT_EQ(d["p"].size(), 3u) << d;
    EXPECT_EQ(d["p"][0][1], "First line with *stars*");
    EXPECT_EQ(d["p"][1][1], "# not a heading");
    EXPECT_EQ(d["p"][2][1], "\tTabbed é");
}

TEST_F(Office, CreateDocxReportsFailuresAndCleansUp) {
    work.write("file", "");
    EXPECT_EQ(DocumentTools::createDocx(work.file("file/out.docx"), "x").rfind("error: cannot create directory " + work.file("file") + ": ", 0), 0u);

    ProgramPaths::ScopedOverride pandoc("pandoc", fakeProgram("pandoc", "echo 'no luck' >&2; exit 2"));
    EXPECT_EQ(DocumentTools::createDocx(work.file("out.docx"), "x"), "error: pandoc exit 2: no luck\n");
    // TearDown checks that the temporary text file is gone.
}

TEST_F(Office, CreateDocxRichAddsAnOptionalHeadingAndOneParagraphPerLine) {
    std::string plain = work.file("plain.docx");
    std::string tricky = "it's a \"quote\"\\ and \\n literal\n\nlast";
    EXPECT_EQ(DocumentTools::createDocxRich(plain, "", tricky), "ok");
    json d = describe(plain);
    EXPECT_EQ(d["p"], json::parse(R"([["Normal","it's a \"quote\"\\ and \\n literal"],["Normal",""],["Normal","last"]])"));

    std::string titled = work.file("titled.docx");
    EXPECT_EQ(DocumentTools::createDocxRich(titled, "Quarterly", "body"), "ok");
    EXPECT_EQ(describe(titled)["p"], json::parse(R"([["Title","Quarterly"],["Normal","body"]])"));
}

TEST_F(Office, DocumentEditReplacesPerParagraphAndCellAndAppendsARevisionNote) {
    std::string path = docx("edit.docx",
                            "doc.add_paragraph('old and old again')\ndoc.add_paragraph('untouched')\n"
                            "t = doc.add_table(rows=1, cols=3)\nt.cell(0,0).text = 'old cell'\n"
                            "m = t.cell(0,1).merge(t.cell(0,2))\nm.text = 'old merged'");
    std::string answer = DocumentTools::documentEdit(path, "rename", "old", "older");
    EXPECT_EQ(answer, "ok: edited " + path + " | replace_all count=3 find='old' -> 'older'");
    json d = describe(path);
    EXPECT_EQ(d["p"][0][1], "older and older again");
    EXPECT_EQ(d["t"][0][0], "older cell");
    EXPECT_EQ(d["t"][0][1], "older merged") << "a merged cell is edited once";
    size_t n = d["p"].size();
    EXPECT_EQ(d["p"][n - 3], json::parse(R"(["Heading 2","Revisions"])"));
    std::string note = d["p"][n - 2][1];
    EXPECT_TRUE(note.size() > 30 && note[0] == '[' && note.find("Z] rename") != std::string::npos) << note;
    EXPECT_EQ(d["p"][n - 1][1], "replace_all count=3 find='old' -> 'older'");
}

TEST_F(Office, DocumentEditWithoutFindOnlyAppendsTheNote) {
    std::string path = docx("note.docx", "doc.add_paragraph('keep')");
    EXPECT_EQ(DocumentTools::documentEdit(path, "reviewed", "", ""), "ok: edited " + path + " | appended revision note");
    EXPECT_EQ(describe(path)["p"].size(), 3u);
    EXPECT_EQ(DocumentTools::documentEdit(work.file("none.docx"), "x", "", ""), "error: file not found: " + work.file("none.docx"));
}

TEST_F(Office, ExcelSumAddsNumbersAndNumericTextAndSaysWhatItCouldNotCount) {
    std::string path = workbook("sum.xlsx",
                                "ws['B2'] = 1200\nws['B3'] = '3,5'\nws['B4'] = '=B2*2'\nws['B5'] = 'n/a'\n"
                                "ws['B6'] = True\nws['B7'] = 0.5\nws['B101'] = 99");
    EXPECT_EQ(DocumentTools::excelSumColumn(path, "b", 2, 100),
              "1235.5 (1 formula cell without a computed value not counted)");
    EXPECT_EQ(DocumentTools::excelSumColumn(path, "B", 2, 3), "1235.0");
    // Through the free-text query: rows 2 to 100 of the named column.
    EXPECT_EQ(DocumentTools::excelQuery(path, "SUM column b"), "1235.5 (1 formula cell without a computed value not counted)");
}

TEST_F(Office, ExcelSumCountsAFormulaWithTheValueLastComputedForIt) {
    // A spreadsheet program stores each formula's last result beside it.
    std::string path = workbook("cached.xlsx", "ws['B2'] = 10\nws['B3'] = '=B2*10'");
    python("import zipfile, shutil\nsrc = " + pyString(path) + "\ntmp = src + '.tmp'\n"
           "with zipfile.ZipFile(src) as zin, zipfile.ZipFile(tmp, 'w') as zout:\n"
           "    for item in zin.infolist():\n"
           "        data = zin.read(item.filename)\n"
           "        if item.filename == 'xl/worksheets/sheet1.xml':\n"
           "            data = data.replace(b'<f>B2*10</f><v></v>', b'<f>B2*10</f><v>100</v>')\n"
           "        zout.writestr(item, data)\nshutil.move(tmp, src)");
    EXPECT_EQ(DocumentTools::excelSumColumn(path, "B", 2, 100), "110.0");
}

TEST_F(Office, ExcelQueryPicksTheSumColumnOrPreviews) {
    struct Case {
        const char* query;
        const char* column;
    } cases[] = {{"sum d", "D"}, {"sum column c", "C"}, {"Sum(B)", "B"}, {"total sum", "D"}, {"sum of things", "D"}};
    for (const auto& c : cases) EXPECT_EQ(DocumentTools::sumColumnFromQuery(text::lowercased(c.query)), c.column) << c.query;

    std::string path = workbook("preview.xlsx", "ws.append(['a', 1])");
    EXPECT_EQ(DocumentTools::excelQuery(path, "preview"), "# sheet Sheet\na\t1");
}

TEST_F(Office, ExcelUpdateStoresNumbersAsNumbersAndTheRestAsText) {
    std::string path = workbook("upd.xlsx", "ws['A1'] = 'x'");
    struct Case {
        const char* value;
        const char* stored;
    } cases[] = {{"1200", "1200"}, {"12.50", "12.5"}, {"1.2.3", "'1.2.3'"}, {"abc", "'abc'"}};
    for (const auto& c : cases) {
        EXPECT_EQ(DocumentTools::excelUpdate(path, "b2", c.value), "ok: " + path + " B2=" + c.stored);
        EXPECT_EQ(cellRepr(path, "B2"), c.stored);
    }
    EXPECT_EQ(cellRepr(path, "A1"), "'x'");
    EXPECT_EQ(DocumentTools::excelUpdate(path, "not a cell", "1").rfind("error: python exit 1: ", 0), 0u);
}

TEST_F(Office, PdfFormFieldsAreFilledAndTheFileReplaced) {
    std::string path = pdf("form.pdf", "name");
    EXPECT_EQ(DocumentTools::pdfFillForm(path, R"({"name": "Ada", "other": 1})"), "ok: filled 1 form widgets on " + path);
    EXPECT_EQ(widgetValues(path), "name=Ada");
    // Only the document itself is left in its folder.
    for (const auto& e : std::filesystem::directory_iterator(work.path()))
        EXPECT_TRUE(e.path().filename() == "form.pdf" || e.is_directory()) << e.path();
}

TEST_F(Office, PdfWithoutMatchingWidgetsGetsTheFieldsStampedOnPageOne) {
    std::string plain = pdf("plain.pdf", "");
    EXPECT_EQ(DocumentTools::pdfFillForm(plain, R"({"name": "Ada", "city": "Pune"})"),
              "ok: stamped 2 fields (no AcroForm widgets) on " + plain);
    EXPECT_EQ(DocumentTools::extract(plain, 1000), "name: Ada\ncity: Pune");

    std::string form = pdf("other.pdf", "signature");
    EXPECT_EQ(DocumentTools::pdfFillForm(form, R"({"name": "Ada"})"), "ok: stamped 1 fields (no AcroForm widgets) on " + form);
}

TEST_F(Office, PdfFillRefusesFieldsThatAreNotAnObjectAndLeavesTheFile) {
    std::string path = pdf("keep.pdf", "name");
    std::string before = test::TempDir::read(path);
    EXPECT_EQ(DocumentTools::pdfFillForm(path, R"(["name"])"), "error: python exit 1: fields must be a JSON object\n");
    EXPECT_EQ(DocumentTools::pdfFillForm(path, "{not json").rfind("error: python exit 1: ", 0), 0u);
    EXPECT_EQ(test::TempDir::read(path), before);
}

TEST_F(Office, PresentationsNeedTheMissingLibrary) {
    if (python("import importlib.util\nprint(importlib.util.find_spec('pptx') is None, end='')") != "True")
        GTEST_SKIP() << "python-pptx is installed here";
    std::string answer = DocumentTools::pptCreate(work.file("deck.pptx"), "A|B");
    EXPECT_EQ(answer.rfind("error: python exit 1: ", 0), 0u) << answer;
    EXPECT_NE(answer.find("No module named 'pptx'"), std::string::npos) << answer;
}

TEST_F(Office, PresentationsGetOneSlidePerLineSplitAtTheFirstBar) {
    // A stand-in for the presentation library that records what the script asks of it.
    work.write("pylib/pptx/__init__.py", R"(import json
class _Text:
    def __init__(self): self.text = ''
class _Shapes:
    def __init__(self, ph): self.title = ph[0]
class _Slide:
    def __init__(self, n):
        self.placeholders = [_Text() for _ in range(n)]
        self.shapes = _Shapes(self.placeholders)
class _Slides(list):
    def add_slide(self, layout):
        s = _Slide(layout); self.append(s); return s
class Presentation:
    def __init__(self):
        self.slide_layouts = [1, 2]
        self.slides = _Slides()
    def save(self, path):
        with open(path, 'w') as f:
            json.dump([[p.text for p in s.placeholders] for s in self.slides], f)
)");
    test::EnvVar pythonPath("PYTHONPATH", work.file("pylib"));
    std::string deck = work.file("deck.pptx");
    EXPECT_EQ(DocumentTools::pptCreate(deck, " A|B|C \n\n  Solo  \n"), "ok: wrote " + deck + " slides=2");
    EXPECT_EQ(json::parse(test::TempDir::read(deck)), json::parse(R"([["A","B|C"],["Solo",""]])"));
    EXPECT_EQ(DocumentTools::pptCreate(deck, " \n "), "ok: wrote " + deck + " slides=1");
    EXPECT_EQ(json::parse(test::TempDir::read(deck)), json::parse(R"([["Dudive","Heritage jewellery craftsmanship"]])"));
}

TEST_F(Office, ConvertWritesBesideTheSourceByDefault) {
    std::string rtf = work.write("notes.rtf", "{\\rtf1\\ansi Hello {\\b RTF} world\\par}");
    EXPECT_EQ(DocumentTools::convert(rtf, "TXT", std::nullopt), "ok: converted → " + work.file("notes.txt"));
    EXPECT_EQ(test::TempDir::read(work.file("notes.txt")), "Hello RTF world\n");

    std::string txt = work.write("plain.txt", "a *b*\nline 2");
    std::string out = work.file("sub.docx");
    EXPECT_EQ(DocumentTools::convert(txt, "docx", std::optional<std::string>(out)), "ok: converted → " + out);
    json p = describe(out)["p"];
    ASSERT_EQ(p.size(), 2u) << p;
    EXPECT_EQ(p[0][1], "a *b*") << "plain text is not read as markup";
    EXPECT_EQ(p[1][1], "line 2");
}

TEST_F(Office, ConvertRefusesWhatItCannotDoSafely) {
    std::string txt = work.write("same.txt", "precious");
    EXPECT_EQ(DocumentTools::convert(txt, "pdf", std::nullopt), "error: unsupported format 'pdf'. Allowed: docx, html, odt, rtf, txt");
    EXPECT_EQ(DocumentTools::convert(txt, "webarchive", std::nullopt),
              "error: unsupported format 'webarchive'. Allowed: docx, html, odt, rtf, txt");
    EXPECT_EQ(DocumentTools::convert(txt, "txt", std::nullopt), "error: output is the source file: " + txt);
    EXPECT_EQ(test::TempDir::read(txt), "precious");
    EXPECT_EQ(DocumentTools::convert(work.write("deck.pptx", "x"), "txt", std::nullopt), "error: pandoc cannot read .pptx files");
    EXPECT_EQ(DocumentTools::convert(work.file("gone.rtf"), "txt", std::nullopt), "error: file not found: " + work.file("gone.rtf"));
}

} // namespace
} // namespace vivirov

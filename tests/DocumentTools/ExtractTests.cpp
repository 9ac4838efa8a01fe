// Text extraction by format, with the real readers (python-docx, PyMuPDF,
// openpyxl, pandoc, pdftotext) over fixtures made here.
#include <gtest/gtest.h>

#include "VivirovKit/Tools/Documents/DocumentTools.h"
#include "tests/DocumentTools/DocumentFixture.h"

namespace vivirov {
namespace {

class Extract : public test::DocumentFixture {
protected:
    // A PDF with one page per text ("" gives a blank page).
    std::string pdf(const std::string& name, const std::vector<std::string>& pages) {
        std::string path = work.file(name);
        std::string code = "import fitz\ndoc = fitz.open()\n";
        for (const auto& text : pages) {
            code += "page = doc.new_page()\n";
            if (!text.empty()) code += "page.insert_text((72, 72), " + pyString(text) + ")\n";
        }
        python(code + "doc.save(" + pyString(path) + ")");
        return path;
    }
    // Breaks the Python readers so that the fall-backs show.
    ProgramPaths::ScopedOverride brokenPython() { return {"python3", "/bin/false"}; }
};

TEST_F(Extract, ChoosesTheReaderByLowerCasedExtension) {
    struct Case {
        std::string name, content, expected;
    } cases[] = {
        {"a.txt", "plain text", "plain text"},
        {"report.MD", "# Title\n*kept as written*", "# Title\n*kept as written*"},
        {"page.html", "<p>Hi <b>there</b></p>", "<p>Hi <b>there</b></p>"},
        {"page.htm", "<p>Hi <b>there</b></p>", "Hi there\n"},
        {"Makefile", "all:\n\techo *x*", "all:\n\techo *x*"},
        {"notes.conf", "key = value", "key = value"},
        {"sheet.numbers", "x", "error: Numbers.app files need export to xlsx/csv first"},
        {"deck.pptx", "x", "error: pandoc cannot read .pptx files"},
        {"old.doc", "x", "error: pandoc cannot read .doc files"},
        {"empty.txt", "", "error: empty or binary file"},
        {"latin1.txt", "caf\xe9", "café"},
    };
    for (const auto& c : cases) EXPECT_EQ(DocumentTools::extract(work.write(c.name, c.content), 1000), c.expected) << c.name;
}

TEST_F(Extract, TruncatesLongTextWithACountOfWhatWasLeftOut) {
    std::string hundred(100, 'x');
    EXPECT_EQ(DocumentTools::extract(work.write("long.txt", hundred), 40),
              std::string(40, 'x') + "\n…[truncated 60 chars]");
    EXPECT_EQ(DocumentTools::extract(work.write("exact.txt", std::string(40, 'y')), 40), std::string(40, 'y'));
    // Characters are user-perceived: a flag or an accented letter is one.
    EXPECT_EQ(DocumentTools::extract(work.write("flags.txt", "🇫🇷🇩🇪e\u0301z"), 2), "🇫🇷🇩🇪\n…[truncated 2 chars]");
}

TEST_F(Extract, PathsExpandAndMissingFilesAreNamed) {
    work.write("home/docs/n.md", "from home");
    EXPECT_EQ(DocumentTools::extract("~/docs/n.md", 100), "from home");
    EXPECT_EQ(DocumentTools::extract("~/docs/missing.md", 100), "error: file not found: " + work.path() + "/home/docs/missing.md");
}

TEST_F(Extract, RefusesToReadWhatIsNotARegularFile) {
    std::string fifo = work.file("pipe.txt");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(DocumentTools::extract(fifo, 100), "error: read failed: not a regular file");
    std::filesystem::create_directories(work.file("folder.txt"));
    EXPECT_EQ(DocumentTools::extract(work.file("folder.txt"), 100), "error: read failed: Is a directory");
}

TEST_F(Extract, WordDocumentsGiveParagraphsThenTableRows) {
    std::string path = docx("memo.docx",
                            "doc.add_paragraph('First para')\ndoc.add_paragraph('Second para')\n"
                            "t = doc.add_table(rows=2, cols=2)\n"
                            "t.cell(0,0).text='Name'; t.cell(0,1).text='Qty'\n"
                            "t.cell(1,0).text='Ring'; t.cell(1,1).text='3'");
    EXPECT_EQ(DocumentTools::extract(path, 1000), "First para\nSecond para\nName | Qty\nRing | 3");
    EXPECT_EQ(DocumentTools::extract(path, 5), "First");
    // Without the Python reader the document still reads, through pandoc.
    auto broken = brokenPython();
    std::string fallback = DocumentTools::extract(path, 1000);
    EXPECT_NE(fallback.find("First para"), std::string::npos) << fallback;
    EXPECT_NE(fallback.find("Ring"), std::string::npos) << fallback;
}

TEST_F(Extract, PdfTextComesFromPyMuPDFThenPdftotext) {
    std::string path = pdf("two.pdf", {"Page one text", "Page two text"});
    std::string viaScript = DocumentTools::extract(path, 1000);
    EXPECT_EQ(viaScript, "Page one text\nPage two text");

    auto broken = brokenPython();
    std::string viaPdftotext = DocumentTools::extract(path, 1000);
    EXPECT_NE(viaPdftotext.find("Page one text"), std::string::npos) << viaPdftotext;
    EXPECT_NE(viaPdftotext.find("Page two text"), std::string::npos) << viaPdftotext;
    EXPECT_EQ(DocumentTools::extract(path, 4), "Page\n…[truncated]");
}

TEST_F(Extract, PdfWithoutTextAsksForOCR) {
    std::string blank = pdf("scan.pdf", {""});
    EXPECT_EQ(DocumentTools::pythonExtractPDF(blank, 100), "error: empty PDF text (scanned?)");
    EXPECT_EQ(DocumentTools::extract(blank, 100), "error: empty PDF text (scanned image PDF? need OCR)");

    ProgramPaths::ScopedOverride noPdftotext("pdftotext", work.file("bin/pdftotext"));
    EXPECT_EQ(DocumentTools::extract(blank, 100),
              "error: pdftotext not found and pandoc failed. Install: apt-get install poppler-utils");
}

TEST_F(Extract, WorkbooksListEverySheetWithTabSeparatedRows) {
    std::string path = work.file("book.xlsx");
    python("from openpyxl import Workbook\nwb = Workbook()\nws = wb.active\nws.title = 'Sales'\n"
           "ws.append(['Item', 'Price'])\nws.append(['Ring', 1200])\nws['C2'] = '=B2*2'\n"
           "ws2 = wb.create_sheet('Notes')\nws2['A1'] = 'n'\nws2['C1'] = 'm'\nwb.save(" + pyString(path) + ")");
    EXPECT_EQ(DocumentTools::extract(path, 1000),
              "# sheet Sales\nItem\tPrice\t\nRing\t1200\t=B2*2\n# sheet Notes\nn\t\tm");
}

TEST_F(Extract, AConverterFailureIsReportedWithItsErrorOutput) {
    ProgramPaths::ScopedOverride pandoc("pandoc", fakeProgram("pandoc", "echo 'bad input' >&2; exit 64"));
    EXPECT_EQ(DocumentTools::extract(work.write("x.rtf", "{\\rtf1 hi}"), 100), "error: pandoc exit 64: bad input\n");
    // An unknown type falls back to reading the file as text.
    EXPECT_EQ(DocumentTools::extract(work.write("x.rtf.bak", "raw"), 100), "raw");
}

} // namespace
} // namespace vivirov

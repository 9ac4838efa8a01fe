// The shared machinery: tilde expansion, the interpreter choice, the Python
// literal rule and the script runner's answers.
#include <gtest/gtest.h>

#include "VivirovKit/Tools/Documents/DocumentTools.h"
#include "tests/DocumentTools/DocumentFixture.h"

namespace vivirov {
namespace {

using ScriptRunner = test::DocumentFixture;

TEST_F(ScriptRunner, ExpandsTildes) {
    std::string home = work.path() + "/home";
    struct Case {
        std::string in, out;
    } cases[] = {
        {"~", home},
        {"~/notes/a.md", home + "/notes/a.md"},
        {"~root/x", "/root/x"},
        {"~no_such_user_zq/x", "~no_such_user_zq/x"},
        {"/abs/~/x", "/abs/~/x"},
        {"rel/x", "rel/x"},
    };
    for (const auto& c : cases) EXPECT_EQ(DocumentTools::expand(c.in), c.out) << c.in;
}

TEST_F(ScriptRunner, PrefersTheDocsVenvInterpreterWhenItIsExecutable) {
    EXPECT_EQ(DocumentTools::docsPython(), "/usr/bin/python3");
    std::string venv = work.write("home/models/Rizeru-27B-gguf/.venv-docs/bin/python", "#!/bin/sh\n");
    EXPECT_EQ(DocumentTools::docsPython(), "/usr/bin/python3") << "not executable yet";
    ::chmod(venv.c_str(), 0755);
    EXPECT_EQ(DocumentTools::docsPython(), venv);
}

TEST_F(ScriptRunner, ValuesReachTheScriptUnchanged) {
    const std::string values[] = {
        "plain", "it's", "back\\slash\\", "two\nlines\r\nand CR\r", "''' \"\"\" \\n literal", "é ✓ 🙂", std::string("nul\0byte", 8),
    };
    for (const std::string& v : values) {
        std::string literal = DocumentTools::pythonLiteral(v);
        EXPECT_EQ(literal.find('\n'), std::string::npos) << "a literal stays on one line";
        std::string hex;
        for (unsigned char c : v) {
            static const char digits[] = "0123456789abcdef";
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        EXPECT_EQ(DocumentTools::runPython("print(" + literal + ".encode('utf-8').hex())"), hex) << v;
    }
}

TEST_F(ScriptRunner, AnswersTheScriptsTrimmedOutput) {
    EXPECT_EQ(DocumentTools::runPython("print('  hello\\n\\n')"), "hello");
}

TEST_F(ScriptRunner, ReportsFailingAndSilentScripts) {
    std::string longError(1000, 'x');
    EXPECT_EQ(DocumentTools::runPython("import sys\nsys.stderr.write('" + longError + "')\nsys.exit(1)"),
              "error: python exit 1: " + longError.substr(0, 400));
    EXPECT_EQ(DocumentTools::runPython("import sys\nprint('   ')\nsys.stderr.write('" + longError + "')"),
              "error: empty python output " + longError.substr(0, 200));
    // Output that is not UTF-8 counts as empty.
    EXPECT_EQ(DocumentTools::runPython("import sys\nsys.stdout.buffer.write(b'\\xff\\xfe')"),
              "error: empty python output ");
}

TEST_F(ScriptRunner, AMissingInterpreterIsAStartFailure) {
    ProgramPaths::ScopedOverride python("python3", work.file("bin/none"));
    EXPECT_EQ(DocumentTools::runPython("print(1)"), "error: python: No such file or directory");
}

TEST_F(ScriptRunner, AHungScriptIsKilledAtTheTimeLimit) {
    auto saved = DocumentTools::childTimeLimit();
    DocumentTools::setChildTimeLimit(std::chrono::milliseconds(300));
    std::string answer = DocumentTools::runPython("import time\ntime.sleep(60)");
    DocumentTools::setChildTimeLimit(saved);
    EXPECT_EQ(answer, "error: python timed out after 0.3 s");
    // TearDown checks that the script file is gone here too.
}

TEST_F(ScriptRunner, AnUnwritableTemporaryFolderIsReported) {
    test::EnvVar tmp("TMPDIR", work.path() + "/missing");
    EXPECT_EQ(DocumentTools::runPython("print(1)"), "error: write script: No such file or directory");
}

} // namespace
} // namespace vivirov

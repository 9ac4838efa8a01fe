#pragma once
// Shared set-up of the document tool tests: a private temporary folder (so the
// tools' "vivirov_doc_" files can be checked for), a HOME without a docs venv,
// fixture documents made by the real Python libraries, and fake programs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "VivirovKit/Support/ProcessRunner.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

class EnvVar {
public:
    EnvVar(const char* name, const std::string& value) : name_(name) {
        if (const char* v = std::getenv(name)) saved_ = v;
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvVar() {
        if (saved_) ::setenv(name_, saved_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

class DocumentFixture : public ::testing::Test {
protected:
    TempDir work;
    TempDir scratch;
    EnvVar tmpdir{"TMPDIR", scratch.path()};
    EnvVar home{"HOME", work.path() + "/home"};

    void SetUp() override { std::filesystem::create_directories(work.path() + "/home"); }

    void TearDown() override {
        // Script and text files of the tools never outlive a call.
        for (const auto& entry : std::filesystem::directory_iterator(scratch.path()))
            ADD_FAILURE() << "left behind: " << entry.path();
    }

    // Runs Python code under the interpreter that has the document libraries.
    static std::string python(const std::string& code) {
        ProcessRequest r;
        r.program = "/usr/bin/python3";
        r.arguments = {"-c", code};
        r.timeLimit = std::chrono::seconds(60);
        ProcessRunResult res = ProcessRunner::run(r);
        EXPECT_TRUE(res.succeeded()) << res.stderrData;
        return res.stdoutData;
    }

    static std::string pyString(const std::string& s) {
        std::string out = "r'''";
        out += s;
        return out + "'''";
    }

    // An executable shell script at <work>/bin/<name>.
    std::string fakeProgram(const std::string& name, const std::string& body) {
        std::string path = work.write("bin/" + name, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }

    std::string docx(const std::string& name, const std::string& buildCode) {
        std::string path = work.file(name);
        python("from docx import Document\ndoc = Document()\n" + buildCode + "\ndoc.save(" + pyString(path) + ")");
        return path;
    }

    // One JSON object describing a .docx: its paragraphs (style, text) and table cells.
    static std::string describeDocx(const std::string& path) {
        return python("import json\nfrom docx import Document\nd = Document(" + pyString(path) +
                      ")\nprint(json.dumps({'p': [[p.style.name, p.text] for p in d.paragraphs], "
                      "'t': [[c.text for c in r.cells] for t in d.tables for r in t.rows]}))");
    }
};

} // namespace vivirov::test

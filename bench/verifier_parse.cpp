// Parse time per KB of code through the syntax verifier, against a bare
// tree-sitter parse of the same text: the verifier's lock, grammar selection
// and error walk should add nothing measurable.
#include <string>
#include <vector>

#include "VivirovKit/Verification/TreeSitterGrammars.h"
#include "VivirovKit/Verification/UniversalASTVerifier.h"
#include "guards_ratio_reporter.h"

namespace {

struct Language {
    const char* name;
    const TSLanguage* (*grammar)();
    std::string unit;   // one valid function
    std::string broken; // appended to make the block invalid near its end
};

const std::vector<Language>& languages() {
    static const std::vector<Language> all = {
        {"c", tree_sitter_c,
         "static int sum_range(const int *values, int count) {\n"
         "    int total = 0;\n"
         "    for (int i = 0; i < count; ++i) {\n"
         "        if (values[i] > 0) total += values[i] * 2; else total -= 1;\n"
         "    }\n"
         "    return total;\n"
         "}\n",
         "int broken(void { return 0; }\n"},
        {"javascript", tree_sitter_javascript,
         "function sumRange(values, count) {\n"
         "  let total = 0;\n"
         "  for (let i = 0; i < count; ++i) {\n"
         "    total += values[i] > 0 ? values[i] * 2 : -1;\n"
         "  }\n"
         "  return `total: ${total}`;\n"
         "}\n",
         "function broken(a, b { return a; }\n"},
        {"python", tree_sitter_python,
         "def sum_range(values, count):\n"
         "    total = 0\n"
         "    for i in range(count):\n"
         "        if values[i] > 0:\n"
         "            total += values[i] * 2\n"
         "        else:\n"
         "            total -= 1\n"
         "    return f\"total: {total}\"\n\n",
         "def broken(a, b:\n    return a\n"},
    };
    return all;
}

// About 32 KB, within the size the verifier checks.
std::string codeOf(const Language& language, bool broken) {
    std::string code;
    while (code.size() < 32 * 1024) code += language.unit;
    if (broken) code += language.broken;
    return code;
}

void setRates(benchmark::State& state, const std::string& code) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * code.size()));
    state.counters["time_per_KB"] = benchmark::Counter(
        static_cast<double>(code.size()) / 1024.0,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void bareParse(benchmark::State& state, const Language& language, bool broken) {
    const std::string code = codeOf(language, broken);
    TSParser* parser = ts_parser_new();
    if (!ts_parser_set_language(parser, language.grammar())) {
        state.SkipWithError("grammar refused by the runtime");
        ts_parser_delete(parser);
        return;
    }
    for (auto _ : state) {
        TSTree* tree = ts_parser_parse_string(parser, nullptr, code.data(),
                                              static_cast<uint32_t>(code.size()));
        benchmark::DoNotOptimize(ts_node_has_error(ts_tree_root_node(tree)));
        ts_tree_delete(tree);
    }
    ts_parser_delete(parser);
    setRates(state, code);
}

void verifierParse(benchmark::State& state, const Language& language, bool broken) {
    const std::string code = codeOf(language, broken);
    vivirov::UniversalASTVerifier verifier;
    if (verifier.validateCodeBlock(code, language.name).isValid == broken) {
        state.SkipWithError("unexpected verdict: the grammar did not check the block");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(verifier.validateCodeBlock(code, language.name));
    setRates(state, code);
}

const bool registered = [] {
    for (const Language& language : languages()) {
        for (bool broken : {false, true}) {
            const std::string suffix = std::string("/") + language.name + (broken ? "/broken" : "/valid");
            benchmark::RegisterBenchmark(("parse/baseline" + suffix).c_str(),
                                         [&language, broken](benchmark::State& s) {
                                             bareParse(s, language, broken);
                                         });
            benchmark::RegisterBenchmark(("parse/measured" + suffix).c_str(),
                                         [&language, broken](benchmark::State& s) {
                                             verifierParse(s, language, broken);
                                         });
        }
    }
    return true;
}();

} // namespace

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv); }

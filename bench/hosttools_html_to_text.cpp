// htmlToText of an 8 MiB page beside one ICU regular-expression pass that
// replaces every tag "<[^>]+>" over the same page (the ratio should stay well
// under 20), and of pages full of unclosed "<script" openings at 2 MiB beside
// 1 MiB (the ratio should be about 2: no quadratic blow-up).
#include <benchmark/benchmark.h>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <string>

#include "VivirovVizivurad/HostTools/WebPageText.h"
#include "guards_ratio_reporter.h"

namespace {

std::string page(size_t bytes) {
    const std::string chunk =
        "<div class=\"row\"><h2>Title &amp; more</h2><p>Some <b>bold</b> text, a <a href=\"/x\">link</a>"
        "<br/>and a line.</p><script>var x = 1 < 2;</script></div>\n\n\n";
    std::string s = "<html><head><title>t</title></head><body>";
    while (s.size() < bytes) s += chunk;
    return s + "</body></html>";
}

std::string unclosed(size_t bytes) {
    std::string s;
    while (s.size() < bytes) s += "text <script src=x> more text ";
    return s;
}

void BM_Page_baseline(benchmark::State& state) {
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(page(8u << 20));
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexMatcher matcher(icu::UnicodeString("<[^>]+>"), 0, status);
    for (auto _ : state) {
        matcher.reset(text);
        benchmark::DoNotOptimize(matcher.replaceAll(icu::UnicodeString(" "), status));
    }
}
BENCHMARK(BM_Page_baseline)->Name("HtmlToText8MiB/baseline")->Unit(benchmark::kMillisecond);

void BM_Page_measured(benchmark::State& state) {
    const std::string html = page(8u << 20);
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::webtext::htmlToText(html));
}
BENCHMARK(BM_Page_measured)->Name("HtmlToText8MiB/measured")->Unit(benchmark::kMillisecond);

void BM_Unclosed_baseline(benchmark::State& state) {
    const std::string html = unclosed(1u << 20);
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::webtext::htmlToText(html));
}
BENCHMARK(BM_Unclosed_baseline)->Name("UnclosedScript2MiBvs1MiB/baseline")->Unit(benchmark::kMillisecond);

void BM_Unclosed_measured(benchmark::State& state) {
    const std::string html = unclosed(2u << 20);
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::webtext::htmlToText(html));
}
BENCHMARK(BM_Unclosed_measured)->Name("UnclosedScript2MiBvs1MiB/measured")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv); }

// A 1 GiB model download from a loopback server through the download manager
// (worker transfer into the partial file, progress hops to the GUI thread,
// checks and the final rename) beside a bare libcurl transfer of the same
// bytes into a file, measured in the same run. The ratio of the two
// throughputs is the figure: the manager should keep at least 0.9 of it.
#include <benchmark/benchmark.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>

#include <cstdlib>
#include <filesystem>

#include "VivirovVizivurad/Models/ModelDownloadManager.h"
// The test fixture server is compiled in here: benchmarks link no test code.
#include "tests/support/HttpTestServer.cpp"

using namespace vivirov;
using vivirov::test::HttpTestServer;
using vivirov::test::ScriptedResponse;

namespace {

constexpr size_t kBytes = size_t(1) << 30;

const std::string& modelBody() {
    static const std::string body = [] {
        std::string b(kBytes, '\0');
        std::memcpy(b.data(), "GGUF", 4);
        for (size_t i = 4; i < b.size(); i += 4096) b[i] = char(i >> 12);
        return b;
    }();
    return body;
}

// One server answering every request with the model.
HttpTestServer& server() {
    static HttpTestServer* s = [] {
        auto* srv = new HttpTestServer;
        srv->setHandler([](const test::RecordedRequest&) {
            return ScriptedResponse::text(200, modelBody(), "application/octet-stream");
        });
        return srv;
    }();
    return *s;
}

std::string scratch() {
    static std::string dir = [] {
        std::string d = std::filesystem::temp_directory_path().string() + "/vivirov-bench-download-XXXXXX";
        if (!::mkdtemp(d.data())) std::abort();
        ::setenv("XDG_DATA_HOME", d.c_str(), 1);
        ::setenv("VIVIROV_FASTLANE", "0", 1);
        return d;
    }();
    return dir;
}

size_t writeToFd(char* data, size_t size, size_t count, void* user) {
    return size_t(::write(*static_cast<int*>(user), data, size * count));
}

void BM_Download_BareLibcurl(benchmark::State& state) {
    const std::string path = scratch() + "/bare.gguf";
    const std::string url = server().baseURL() + "/m.gguf";
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeToFd);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &fd);
        if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("transfer failed");
        curl_easy_cleanup(easy);
        ::fsync(fd);
        ::close(fd);
        ::unlink(path.c_str());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}

void BM_Download_Manager(benchmark::State& state) {
    scratch();
    static int argc = 1;
    static char name[] = "models_download";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
    ModelDownloadManager manager(server().baseURL() + "/", [] { return std::nullopt; });
    const ModelRef ref{"Bench", "bench", "bench-GGUF", "bench.gguf", int64_t(kBytes), ModelFit::fast};
    for (auto _ : state) {
        manager.cancel(ref); // forgets the last finished record
        manager.download(ref);
        for (;;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            auto it = manager.states().find(ref.id());
            if (it->second.failed) {
                state.SkipWithError(it->second.failed->c_str());
                break;
            }
            if (it->second.finished) break;
            QThread::usleep(200);
        }
        ::unlink(ModelDownloadManager::destinationPath(ref).c_str());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}

} // namespace

BENCHMARK(BM_Download_BareLibcurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Download_Manager)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();

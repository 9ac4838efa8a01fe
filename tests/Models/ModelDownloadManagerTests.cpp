#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "VivirovVizivurad/EngineHost/FastLaneAdvisor.h"
#include "VivirovVizivurad/EngineHost/InProcessEngine.h"
#include "VivirovVizivurad/Models/ModelDownloadManager.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

using namespace vivirov;
using namespace std::chrono_literals;
using test::HttpTestServer;
using test::ScriptedResponse;
namespace fs = std::filesystem;

namespace {

// A small valid model file followed by filler, so sizes can be chosen.
std::string ggufBytes(size_t size, char fill = 'w') {
    std::string bytes = test::GGUFWriter().u32("general.alignment", 32).bytes();
    if (bytes.size() < size) bytes.append(size - bytes.size(), fill);
    return bytes;
}

ScriptedResponse modelResponse(const std::string& body) {
    return ScriptedResponse::text(200, body, "application/octet-stream");
}

class ModelDownloads : public ::testing::Test {
protected:
    void SetUp() override {
        test::qtApp();
        env.set("XDG_DATA_HOME", data.path()).set("HOME", home.path()).set("VIVIROV_FASTLANE", "0");
    }

    std::unique_ptr<ModelDownloadManager> makeManager(std::optional<std::string> token = std::nullopt) {
        auto m = std::make_unique<ModelDownloadManager>(server.baseURL() + "/",
                                                        [token] { return token; });
        waitIdle(*m);
        return m;
    }
    // Lets queued GUI work (a scan's publication) run.
    static void waitIdle(ModelDownloadManager&) {
        test::qtWaitUntil([] { return false; }, 50);
    }
    bool waitDone(ModelDownloadManager& m, const ModelRef& r) {
        return test::qtWaitUntil([&] {
            auto it = m.states().find(r.id());
            return it != m.states().end() && (it->second.finished || it->second.failed);
        });
    }
    std::vector<std::string> partialFiles() const {
        std::vector<std::string> found;
        std::error_code ec;
        for (fs::directory_iterator it(ModelDownloadManager::partialDir(), ec), end; !ec && it != end; it.increment(ec))
            found.push_back(it->path().string());
        return found;
    }
    // Everything under the models folder except folders.
    std::vector<std::string> modelsFolderFiles() const {
        std::vector<std::string> found;
        for (auto& e : fs::recursive_directory_iterator(ModelDownloadManager::modelsDir()))
            if (!e.is_directory()) found.push_back(e.path().string());
        return found;
    }

    // Runs in a child process: writes past 64 KiB fail as on a full disk
    // (EFBIG instead of the signal).
    bool downloadUnderFileSizeLimit(const std::string& old) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        HttpTestServer hub;
        hub.enqueue(modelResponse(ggufBytes(300000)));
        ModelDownloadManager manager(hub.baseURL() + "/", [] { return std::nullopt; });
        manager.download(ref);
        if (!waitDone(manager, ref)) return false;
        const auto& state = manager.states().at(ref.id());
        return state.failed && state.failed->find("Could not write the download") != std::string::npos &&
               test::TempDir::read(ModelDownloadManager::destinationPath(ref)) == old &&
               test::qtWaitUntil([&] { return partialFiles().empty(); });
    }

    test::TempDir data, home;
    test::ScopedEnv env;
    HttpTestServer server;
    ModelRef ref{"Tiny (Q4)", "acme", "tiny-GGUF", "tiny-Q4.gguf", 999, ModelFit::fast};
};

} // namespace

TEST_F(ModelDownloads, AModelLandsByteForByteAtItsPlace) {
    const std::string body = ggufBytes(300000);
    server.enqueue(modelResponse(body).splitEvery(64 * 1024, 1ms));
    auto m = makeManager();
    m->download(ref);
    EXPECT_EQ(m->states().at(ref.id()), (DownloadState{ref.id(), 0, 999, 0, false, std::nullopt}));
    ASSERT_TRUE(waitDone(*m, ref));

    const DownloadState& state = m->states().at(ref.id());
    EXPECT_TRUE(state.finished);
    EXPECT_EQ(state.failed, std::nullopt);
    EXPECT_EQ(state.received, int64_t(body.size()));
    EXPECT_EQ(state.total, int64_t(body.size()));
    const std::string path = ModelDownloadManager::modelsDir() + "/acme/tiny-GGUF/tiny-Q4.gguf";
    EXPECT_EQ(ModelDownloadManager::destinationPath(ref), path);
    EXPECT_EQ(test::TempDir::read(path), body);
    EXPECT_TRUE(m->isDownloaded(ref));
    EXPECT_EQ(server.lastRequest().target, "/acme/tiny-GGUF/resolve/main/tiny-Q4.gguf?download=true");
    EXPECT_TRUE(partialFiles().empty());
    ASSERT_TRUE(test::qtWaitUntil([&] { return m->localModels() == std::vector<std::string>{path}; }));
}

TEST_F(ModelDownloads, TheHubTokenGoesAsBearerOnlyWhenSetAndIsNeverLogged) {
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"hf_secret_token", "Bearer hf_secret_token"}, {"", std::nullopt}, {std::nullopt, std::nullopt}};
    for (const auto& [token, header] : cases) {
        server.enqueue(modelResponse(ggufBytes(1000)));
        test::StderrCapture capture;
        auto m = makeManager(token);
        m->download(ref);
        ASSERT_TRUE(waitDone(*m, ref));
        EXPECT_EQ(server.lastRequest().header("authorization"), header);
        EXPECT_EQ(capture.text().find("hf_secret"), std::string::npos);
    }
}

TEST_F(ModelDownloads, NoAnnouncedLengthGivesTheCataloguedSize) {
    auto response = modelResponse(ggufBytes(5000));
    response.framing = ScriptedResponse::Framing::chunked;
    server.enqueue(response);
    auto m = makeManager();
    m->download(ref);
    ASSERT_TRUE(waitDone(*m, ref));
    EXPECT_TRUE(m->states().at(ref.id()).finished);
    EXPECT_EQ(m->states().at(ref.id()).received, 5000);
    EXPECT_EQ(m->states().at(ref.id()).total, 999);
}

TEST_F(ModelDownloads, AFinishedDownloadReplacesAnOlderCopy) {
    const std::string old = ggufBytes(2000, 'o'), fresh = ggufBytes(3000, 'n');
    test::TempDir::read(data.write("com.dudive.vivirov/models/acme/tiny-GGUF/tiny-Q4.gguf", old));
    server.enqueue(modelResponse(fresh));
    auto m = makeManager();
    m->download(ref);
    ASSERT_TRUE(waitDone(*m, ref));
    EXPECT_EQ(test::TempDir::read(ModelDownloadManager::destinationPath(ref)), fresh);
}

TEST_F(ModelDownloads, BadTransfersFailWithAReasonAndLeaveTheOldModelAlone) {
    struct Case {
        const char* name;
        ScriptedResponse response;
        const char* reason;
    };
    const Case cases[] = {
        {"unauthorised", ScriptedResponse::json(401, R"({"error":"Invalid credentials"})"), "HTTP 401"},
        {"missing page", ScriptedResponse::text(404, "<html>Entry not found</html>", "text/html"), "HTTP 404"},
        {"cut off", modelResponse(ggufBytes(100000)).closeAfter(40000), "lost part-way"},
        {"foreign file", modelResponse(std::string(5000, 'z')), "not a GGUF model"},
    };
    const std::string old = ggufBytes(2000, 'o');
    data.write("com.dudive.vivirov/models/acme/tiny-GGUF/tiny-Q4.gguf", old);
    auto m = makeManager();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.enqueue(c.response);
        m->download(ref);
        ASSERT_TRUE(waitDone(*m, ref));
        const DownloadState& state = m->states().at(ref.id());
        EXPECT_FALSE(state.finished);
        ASSERT_TRUE(state.failed.has_value());
        EXPECT_NE(state.failed->find(c.reason), std::string::npos) << *state.failed;
        EXPECT_EQ(test::TempDir::read(ModelDownloadManager::destinationPath(ref)), old);
        EXPECT_EQ(modelsFolderFiles().size(), 1u);
        EXPECT_TRUE(test::qtWaitUntil([&] { return partialFiles().empty(); }));
    }
    // A failure frees the model for another try, which starts from zero.
    const std::string body = ggufBytes(4000);
    server.enqueue(modelResponse(body));
    m->download(ref);
    ASSERT_TRUE(waitDone(*m, ref));
    EXPECT_TRUE(m->states().at(ref.id()).finished);
    EXPECT_FALSE(server.lastRequest().header("range").has_value());
    EXPECT_EQ(test::TempDir::read(ModelDownloadManager::destinationPath(ref)), body);
}

TEST_F(ModelDownloads, AnUnplaceableFileFailsAndCanBeDownloadedAgain) {
    // A file where the repository's folder must go.
    data.write("com.dudive.vivirov/models/acme/tiny-GGUF", "in the way");
    server.enqueue(modelResponse(ggufBytes(3000)));
    auto m = makeManager();
    m->download(ref);
    ASSERT_TRUE(waitDone(*m, ref));
    ASSERT_TRUE(m->states().at(ref.id()).failed.has_value());
    EXPECT_NE(m->states().at(ref.id()).failed->find("Could not place"), std::string::npos);
    EXPECT_TRUE(test::qtWaitUntil([&] { return partialFiles().empty(); }));

    fs::remove(ModelDownloadManager::modelsDir() + "/acme/tiny-GGUF");
    server.enqueue(modelResponse(ggufBytes(3000)));
    m->download(ref);
    ASSERT_TRUE(test::qtWaitUntil([&] { return m->states().at(ref.id()).finished; }));
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(ModelDownloads, CancelEndsTheTransferDiscardsItsBytesAndForgetsIt) {
    server.enqueue(modelResponse(ggufBytes(1000000)).stallAfter(200000));
    auto m = makeManager();
    m->download(ref);
    m->download(ref); // a second start while one runs does nothing
    ASSERT_TRUE(test::qtWaitUntil([&] { return m->states().at(ref.id()).received > 0; }));
    EXPECT_EQ(m->states().at(ref.id()).total, 1000000);
    EXPECT_EQ(partialFiles().size(), 1u);

    m->cancel(ref);
    EXPECT_TRUE(m->states().empty());
    EXPECT_TRUE(server.waitForClientCloses(1));
    EXPECT_TRUE(test::qtWaitUntil([&] { return partialFiles().empty(); }));
    test::qtWaitUntil([] { return false; }, 200); // late events of the cancelled task
    EXPECT_TRUE(m->states().empty());
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_FALSE(m->isDownloaded(ref));

    const std::string body = ggufBytes(6000);
    server.enqueue(modelResponse(body));
    m->download(ref);
    ASSERT_TRUE(waitDone(*m, ref));
    EXPECT_TRUE(m->states().at(ref.id()).finished);
    EXPECT_EQ(test::TempDir::read(ModelDownloadManager::destinationPath(ref)), body);
}

TEST_F(ModelDownloads, ProgressReachesTheGuiThreadAFewTimesASecond) {
    const std::string body = ggufBytes(400 * 1000);
    server.enqueue(modelResponse(body).splitEvery(1000, 2ms)); // 400 small writes
    auto m = makeManager();
    int updates = 0;
    QObject::connect(m.get(), &ModelDownloadManager::statesChanged, [&] { ++updates; });
    const auto start = std::chrono::steady_clock::now();
    m->download(ref);
    ASSERT_TRUE(waitDone(*m, ref));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(updates, int(seconds / 0.2) + 6) << "over " << seconds << " s";
}

TEST_F(ModelDownloads, AFullDiskFailsTheDownloadAndKeepsTheOldModel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string old = ggufBytes(2000, 'o');
    data.write("com.dudive.vivirov/models/acme/tiny-GGUF/tiny-Q4.gguf", old);
    EXPECT_EXIT(std::_Exit(downloadUnderFileSizeLimit(old) ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST_F(ModelDownloads, LocalModelsAreCaseSensitiveGgufsSortedByName) {
    data.write("com.dudive.vivirov/models/X.GGUF", "x");
    data.write("com.dudive.vivirov/models/deep/nested/y.gguf", "y");
    data.write("com.dudive.vivirov/models/a.gguf", "a");
    home.write("models/B.gguf", "b");
    home.write("models/sub/hidden.gguf", "not listed: only the top level");
    home.write("Models/c.gguf.txt", "c");
    auto m = makeManager();
    std::vector<std::string> names;
    ASSERT_TRUE(test::qtWaitUntil([&] { return m->localModels().size() == 3; }));
    for (const auto& p : m->localModels()) names.push_back(fs::path(p).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"B.gguf", "a.gguf", "y.gguf"}));

    // Deleting a file that is gone still rescans and publishes.
    int published = 0;
    QObject::connect(m.get(), &ModelDownloadManager::localModelsChanged, [&] { ++published; });
    m->deleteModel(data.file("com.dudive.vivirov/models/a.gguf"));
    m->deleteModel(data.file("com.dudive.vivirov/models/a.gguf"));
    ASSERT_TRUE(test::qtWaitUntil([&] { return published >= 1 && m->localModels().size() == 2; }));
    EXPECT_FALSE(fs::exists(data.file("com.dudive.vivirov/models/a.gguf")));
}

TEST_F(ModelDownloads, SuggestsTheNewModelWhenItFitsAndTheActiveOneSwaps) {
    const int64_t ram = FastLaneAdvisor::totalRAMBytes();
    // A sparse file has the size of a large model without its blocks.
    auto sparse = [&](const std::string& name, int64_t size) {
        std::string path = home.write(name, "GGUF");
        EXPECT_EQ(::truncate(path.c_str(), size), 0);
        return path;
    };
    const std::string swapping = sparse("swapping.gguf", ram * 2);
    const int64_t tightSize = int64_t((0.85 * double(ram) - double(FastLaneAdvisor::kOverheadBytes)) / 1.15);
    ASSERT_GT(tightSize, 0) << "this machine has too little memory for a tight model";
    const std::string tight = sparse("tight.gguf", tightSize);
    ASSERT_EQ(FastLaneAdvisor::assess(tight, tightSize, ram).lane, FastLaneVerdict::Lane::tight);

    struct Case {
        const char* name;
        std::string active;
        const char* fastLane;
        bool suggests;
    };
    const Case cases[] = {
        {"swap-bound active", swapping, "1", true},
        {"switched off", swapping, "0", false},
        {"tight active", tight, "1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScopedEnv scoped;
        scoped.set("VIVIROV_FASTLANE", c.fastLane).set("QUINTORA_MODEL_PATH", c.active);
        InProcessEngine::chooseModelPath();
        server.enqueue(modelResponse(ggufBytes(3000)));
        auto m = makeManager();
        test::StderrCapture capture;
        m->download(ref);
        ASSERT_TRUE(waitDone(*m, ref));
        ASSERT_TRUE(m->states().at(ref.id()).finished);
        const std::string line = "[vivirov] fast-lane: downloaded tiny-Q4.gguf is instant while active " +
                                 fs::path(c.active).filename().string() +
                                 " is swap-bound \xE2\x80\x94 suggesting Set Active\n";
        if (c.suggests) {
            EXPECT_EQ(m->fastLaneSuggestion(),
                      (FastLaneSuggestion{"Tiny (Q4)", ModelDownloadManager::destinationPath(ref), c.active}));
            EXPECT_NE(capture.text().find(line), std::string::npos) << capture.text();
        } else {
            EXPECT_EQ(m->fastLaneSuggestion(), std::nullopt);
            EXPECT_EQ(capture.text().find("fast-lane"), std::string::npos);
        }
    }
}

TEST_F(ModelDownloads, AnUnreachableHubIsTriedAgainUntilItAnswers) {
    int port = 0;
    {
        HttpTestServer gone;
        port = gone.port();
    }
    auto m = std::make_unique<ModelDownloadManager>("http://127.0.0.1:" + std::to_string(port) + "/",
                                                    [] { return std::nullopt; });
    m->download(ref);
    test::qtWaitUntil([] { return false; }, 300); // the first attempt is refused
    EXPECT_FALSE(m->states().at(ref.id()).failed.has_value());

    HttpTestServer back(port);
    const std::string body = ggufBytes(3000);
    back.enqueue(modelResponse(body));
    ASSERT_TRUE(waitDone(*m, ref));
    EXPECT_TRUE(m->states().at(ref.id()).finished);
    EXPECT_EQ(test::TempDir::read(ModelDownloadManager::destinationPath(ref)), body);
}

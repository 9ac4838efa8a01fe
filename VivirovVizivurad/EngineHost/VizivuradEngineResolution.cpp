// Which model file a bootstrap loads. Runs on the caller's thread; the header
// probe reads one small block per unclassified candidate.
#include <QCoreApplication>

#include <algorithm>
#include <filesystem>

#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/EngineHost/FastLaneAdvisor.h"
#include "VivirovVizivurad/EngineHost/GGUFArchitectureProbe.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

namespace vivirov {

namespace fs = std::filesystem;

const char* const VizivuradEngine::deepSeekV4ModelPath =
    "/opt/vivirov-dev/models/DeepSeek-V4-Flash-GGUF/Q4_K_M-XL/DeepSeek-V4-Flash-Q4_K_M-XL-00001-of-00004.gguf";

namespace {

std::string lastComponent(const std::string& path) { return fs::path(path).filename().string(); }

bool isExistingFile(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec) && !fs::is_directory(path, ec);
}

VizivuradEngine::ResolvedModel resolved(VizivuradEngine::ResolvedModel::Kind kind, const std::string& path) {
    using Kind = VizivuradEngine::ResolvedModel::Kind;
    VizivuradEngine::ResolvedModel out;
    out.kind = kind;
    out.path = path;
    out.summary = kind == Kind::qwen2GGUF
                      ? "qwen2 GGUF at " + path + " (LIVE \xE2\x86\x92 vivirov_vm_v2_create)"
                      : "deepseek4 GGUF at " + path + " (LIVE \xE2\x86\x92 vivirov_vm_v2_create \xE2\x86\x92 ZOV4Forward)";
    return out;
}

} // namespace

std::string VizivuradEngine::deepSeekV4CoreOnlyPath() {
    return paths::home() + "/models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf";
}

std::string VizivuradEngine::installedDataDir() {
    if (QCoreApplication::instance() == nullptr) return {};
    return QCoreApplication::applicationDirPath().toStdString() + "/../share/vivirov/";
}

std::optional<VizivuradEngine::ResolvedModel> VizivuradEngine::routeCandidate(const std::string& path,
                                                                                const std::string& coreOnly) {
    std::error_code ec;
    if (!fs::exists(path, ec) || fs::is_directory(path, ec)) {
        logLine("[vizivurad-engine] skip missing path: " + path);
        return std::nullopt;
    }
    const std::string name = text::lowercased(lastComponent(path));
    if (path == coreOnly || path == deepSeekV4ModelPath || name.find("zov4") != std::string::npos ||
        name.find("deepseek-v4") != std::string::npos || name.find("deepseek4") != std::string::npos ||
        name.find("core-only") != std::string::npos)
        return resolved(ResolvedModel::Kind::deepseek4GGUF, path);

    const std::optional<std::string> arch = readGGUFArchitecture(path);
    logLine("[vizivurad-engine] probe arch=" + arch.value_or("(unreadable)") + " path=" + path);
    if (arch == "qwen2" || arch == "qwen") return resolved(ResolvedModel::Kind::qwen2GGUF, path);
    if (arch == "deepseek4" || arch == "deepseek") return resolved(ResolvedModel::Kind::deepseek4GGUF, path);
    return std::nullopt;
}

std::optional<std::string> VizivuradEngine::defaultGGUF(const std::string& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    if (ec) return std::nullopt;
    // The listing order is the file system's; by name it is the same on every run.
    std::vector<std::string> names;
    for (; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (text::endsWith(text::lowercased(name), ".gguf")) names.push_back(std::move(name));
    }
    if (names.empty()) return std::nullopt;
    std::string folderPath = folder;
    if (!text::endsWith(folderPath, "/")) folderPath += "/";
    return folderPath + *std::min_element(names.begin(), names.end());
}

VizivuradEngine::ResolvedModel VizivuradEngine::resolveModelPath(const std::optional<std::string>& explicitPath) {
    const std::string coreOnly = deepSeekV4CoreOnlyPath();
    int tried = 0;

    std::vector<std::string> explicitCandidates;
    for (const auto& value : {explicitPath, env::string("VIVIROV_VM_MODEL"), env::string("VIVIROV_MODEL_PATH")})
        if (value && !value->empty()) explicitCandidates.push_back(*value);
    for (const std::string& path : explicitCandidates) {
        ++tried;
        if (auto found = routeCandidate(path, coreOnly)) return *found;
    }

    std::vector<std::string> defaults;
    for (const auto& value : {std::optional<std::string>(coreOnly), std::optional<std::string>(deepSeekV4ModelPath),
                              defaultGGUF(paths::home() + "/Models"),
                              installedDataDir().empty() ? std::nullopt : defaultGGUF(installedDataDir())})
        if (value && !value->empty()) defaults.push_back(*value);

    if (env::isDefaultOnEnabled("VIVIROV_FASTLANE") && !defaults.empty()) {
        auto first = std::find_if(defaults.begin(), defaults.end(), isExistingFile);
        if (first != defaults.end()) {
            const int64_t ram = FastLaneAdvisor::totalRAMBytes();
            if (ram < FastLaneAdvisor::needBytes(FastLaneAdvisor::fileSizeBytes(*first))) {
                for (const FastLaneVerdict& v : FastLaneAdvisor::assessInstalled(ram)) {
                    if (v.lane != FastLaneVerdict::Lane::instant || v.path == *first) continue;
                    auto accepted = routeCandidate(v.path, coreOnly);
                    if (!accepted) continue;
                    logLine("[vizivurad-engine] fast-lane: chose " + v.path + " over swap-bound " + *first);
                    accepted->summary += " \xC2\xB7 fast-lane (over swap-bound " + lastComponent(*first) + ")";
                    return *accepted;
                }
            }
        }
    }

    for (const std::string& path : defaults) {
        if (auto found = routeCandidate(path, coreOnly)) return *found;
        ++tried;
    }

    ResolvedModel scaffold;
    scaffold.summary = "no live GGUF resolved \xE2\x86\x92 scaffold://no-model (tried " + std::to_string(tried) +
                       " candidates)";
    return scaffold;
}

} // namespace vivirov

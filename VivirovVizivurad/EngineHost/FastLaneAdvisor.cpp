#include "VivirovVizivurad/EngineHost/FastLaneAdvisor.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/EngineHost/HardwareProfile.h"
#include "VivirovVizivurad/Models/ModelDownloadManager.h"

namespace vivirov {

namespace fs = std::filesystem;

const char* FastLaneVerdict::rawValue(Lane lane) {
    switch (lane) {
    case Lane::instant: return "instant";
    case Lane::tight: return "tight";
    case Lane::swapBound: return "swapBound";
    }
    return "instant";
}

std::optional<FastLaneVerdict::Lane> FastLaneVerdict::laneFromRaw(std::string_view raw) {
    for (Lane lane : {Lane::instant, Lane::tight, Lane::swapBound})
        if (raw == rawValue(lane)) return lane;
    return std::nullopt;
}

namespace {

// Names compare by code point after canonical composition (byte order of NFC UTF-8).
std::string sortKey(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return name;
    icu::UnicodeString normalised = nfc->normalize(icu::UnicodeString::fromUTF8(name), status);
    if (U_FAILURE(status)) return name;
    std::string out;
    normalised.toUTF8String(out);
    return out;
}

} // namespace

bool FastLaneAdvisor::hasGGUFExtension(const std::string& path) {
    const std::string ext = fs::path(path).filename().extension().string();
    return ext.size() == 5 && text::lowercased(ext) == ".gguf";
}

int64_t FastLaneAdvisor::totalRAMBytes() { return int64_t(HardwareProfile::physicalMemoryBytes()); }

int64_t FastLaneAdvisor::fileSizeBytes(const std::string& path) { return ModelDownloadManager::sizeOnDisk(path); }

int64_t FastLaneAdvisor::needBytes(int64_t fileBytes) {
    return int64_t(std::ceil(double(fileBytes) * kMemoryFactor)) + kOverheadBytes;
}

std::vector<std::string> FastLaneAdvisor::defaultModelRoots() {
    const std::string home = paths::home();
    return {paths::appData() + "/models", home + "/models", home + "/Models"};
}

std::vector<std::string> FastLaneAdvisor::installedGGUFs(const std::optional<std::vector<std::string>>& roots) {
    const std::vector<std::string> list = roots ? *roots : defaultModelRoots();
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (const std::string& root : list) {
        std::error_code ec;
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            const fs::path& p = it->path();
            if (!hasGGUFExtension(p.string())) continue;
            std::error_code canonicalError;
            fs::path resolved = fs::weakly_canonical(p, canonicalError);
            const std::string key = canonicalError ? p.lexically_normal().string() : resolved.string();
            if (seen.insert(key).second) found.push_back(p.string());
        }
    }
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(found.size());
    for (auto& path : found) keyed.emplace_back(sortKey(fs::path(path).filename().string()), std::move(path));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    out.reserve(keyed.size());
    for (auto& [key, path] : keyed) out.push_back(std::move(path));
    return out;
}

FastLaneVerdict FastLaneAdvisor::assess(const std::string& path, int64_t fileBytes, int64_t totalRAMBytes) {
    FastLaneVerdict v;
    v.path = path;
    v.fileBytes = fileBytes;
    v.needBytes = needBytes(fileBytes);
    v.headroomBytes = totalRAMBytes - v.needBytes;
    if (totalRAMBytes < v.needBytes)
        v.lane = FastLaneVerdict::Lane::swapBound;
    else if (kTightFraction * double(totalRAMBytes) > double(v.headroomBytes))
        v.lane = FastLaneVerdict::Lane::tight;
    else
        v.lane = FastLaneVerdict::Lane::instant;
    return v;
}

std::vector<FastLaneVerdict> FastLaneAdvisor::assessInstalled(int64_t totalRAMBytes) {
    std::vector<FastLaneVerdict> out;
    for (const std::string& path : installedGGUFs()) {
        FastLaneVerdict v = assess(path, fileSizeBytes(path), totalRAMBytes);
        if (v.fileBytes >= kSmallestModelBytes) out.push_back(std::move(v));
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.fileBytes > b.fileBytes; });
    return out;
}

} // namespace vivirov

#include "VivirovKit/Fleet/ModelRouter.h"

#include "VivirovKit/Fleet/HealthProbe.h"

namespace vivirov {

namespace {

constexpr HealthProbe::Timing kProbeTiming{std::chrono::milliseconds(600), std::chrono::milliseconds(800)};

struct RouteRow {
    ModelRouteKind kind;
    const char* raw;
    const char* providerID;
    const char* baseURL;
    const char* model;
    const char* fleetKey; // null: no server behind the route
    bool availableWithoutServer;
    const char* noteUp;
    const char* noteDown;
};

constexpr RouteRow kRoutes[] = {
    {ModelRouteKind::general, "general", "rizeru-local", "http://127.0.0.1:8080", "rizeru-qwen3.6-27b",
     "rizeru:8080", false, "Primary Vivirov brain", "Primary Vivirov brain"},
    {ModelRouteKind::consensus, "consensus", "rizeru-rozazu", "http://127.0.0.1:8095", "rozazu-rizeru-27b",
     "rozazu:8095", false, "Rozazu multi-drafter", "Rozazu DOWN — fall back to rizeru-local"},
    {ModelRouteKind::fastDraft, "fastDraft", "micro", "http://127.0.0.1:8100", "micro-qwen3.5-0.8b", "micro:8100",
     false, "Micro fleet 0.8B", "Micro DOWN"},
    {ModelRouteKind::vision, "vision", "qwen-vl", "http://127.0.0.1:8081", "qwen2.5-vl-7b", "vision:8081", false,
     "Vision model live", "NOT DEPLOYED — no Qwen2.5-VL on :8081. Download + start server first."},
    {ModelRouteKind::audio, "audio", "whisper", "http://127.0.0.1:8082", "whisper-large-v3", "whisper:8082", false,
     "Whisper live", "NOT DEPLOYED — use built-in DictationController (PocketSphinx) in UI mic button."},
    {ModelRouteKind::document, "document", "document-tools", "local", "pandoc+pdftotext", nullptr, true,
     "Native Linux document tools (no extra model)", ""},
    {ModelRouteKind::imageGen, "imageGen", "image-gen", "none", "none", nullptr, false, "",
     "OUT OF SCOPE per Dudive permanent rule (2026-05-19): no ComfyUI/LoRA/local SD on lab GPUs. Use Nano Banana "
     "/ external path only if Dovrel enables."},
};

const RouteRow& rowFor(ModelRouteKind kind) {
    for (const RouteRow& row : kRoutes)
        if (row.kind == kind) return row;
    return kRoutes[0];
}

} // namespace

std::string_view rawValue(ModelRouteKind kind) { return rowFor(kind).raw; }

std::optional<ModelRouteKind> modelRouteKindFromRaw(std::string_view raw) {
    for (const RouteRow& row : kRoutes)
        if (raw == row.raw) return row.kind;
    return std::nullopt;
}

const std::vector<ModelRouter::FleetServer>& ModelRouter::fleet() {
    static const std::vector<FleetServer> servers = {
        {"rizeru:8080", 8080}, {"bridge:8090", 8090}, {"rozazu:8095", 8095}, {"micro:8100", 8100},
        {"vision:8081", 8081}, {"whisper:8082", 8082}, {"smollm:8083", 8083},
    };
    return servers;
}

bool ModelRouter::probe(const std::string& url) { return HealthProbe::probe(url, kProbeTiming); }

std::map<std::string, bool> ModelRouter::fleetStatus() {
    std::vector<std::string> urls;
    for (const FleetServer& server : fleet()) urls.push_back(HealthProbe::healthURL(server.port));
    const std::vector<bool> up = HealthProbe::probeAll(urls, kProbeTiming);
    std::map<std::string, bool> status;
    for (size_t i = 0; i < fleet().size(); ++i) status[fleet()[i].key] = up[i];
    return status;
}

ModelRoute ModelRouter::route(ModelRouteKind kind) {
    const RouteRow& row = rowFor(kind);
    bool available = row.availableWithoutServer;
    if (row.fleetKey) {
        const std::map<std::string, bool> status = fleetStatus();
        auto it = status.find(row.fleetKey);
        available = it != status.end() && it->second;
    }
    return ModelRoute{row.providerID, row.baseURL, row.model, available, available ? row.noteUp : row.noteDown};
}

} // namespace vivirov

#include "VivirovKit/Providers/RizeruLocalProvider.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

constexpr size_t kHealthBodyLimit = 64 * 1024;

// Short time-outs, no waiting for the network: a probe must answer quickly.
HTTPSession& probeClient() {
    static HTTPSession* client = new HTTPSession(HTTPSession::Configuration{RizeruLocalProvider::kProbeTimeout, 2.0, 2});
    return *client;
}

bool probe(const std::string& base, double timeout, double total) {
    HTTPRequest request;
    request.url = base + "/health";
    request.timeoutInterval = timeout;
    request.totalTimeout = total;
    if (!HTTPSession::isSupportedURL(request.url)) return false;
    int status = 0;
    std::string body;
    try {
        probeClient().perform(
            request, {}, [&](int s) { status = s; return s >= 200 && s <= 299; },
            [&](std::string_view bytes) {
                body.append(bytes.substr(0, kHealthBodyLimit - body.size()));
                return body.size() < kHealthBodyLimit;
            });
    } catch (const std::exception&) {
        return false;
    }
    if (status < 200 || status > 299) return false;
    auto document = json::parse(body);
    if (document && document->is_object())
        if (auto state = json::stringMember(*document, "status")) return *state == "ok";
    return true;
}

} // namespace

struct RizeruLocalProvider::Reachability {
    explicit Reachability(std::string base) : base(std::move(base)) {}
    const std::string base;
    std::mutex lock;
    bool reachable = false;
    std::optional<uint64_t> lastProbe; // none: never, as if in the distant past
    bool probeInFlight = false;

    bool staleLocked() const {
        if (!lastProbe) return true;
        uint64_t now = Clock::current().uptimeNanos();
        return now < *lastProbe || double(now - *lastProbe) / 1e9 >= kCacheTTL;
    }

    bool refresh(bool force) {
        {
            std::lock_guard guard(lock);
            if (!force && !staleLocked()) return reachable;
            if (probeInFlight) return reachable;
            probeInFlight = true;
        }
        bool answer = probeHealth(base);
        std::lock_guard guard(lock);
        reachable = answer;
        lastProbe = Clock::current().uptimeNanos();
        probeInFlight = false;
        return answer;
    }
};

std::string RizeruLocalProvider::trimmedBase(std::string_view base) {
    std::string out = text::trimmed(base);
    while (!out.empty() && out.back() == '/') out.pop_back();
    return out;
}

std::string RizeruLocalProvider::normalizedBase(std::string_view base) {
    std::string out = trimmedBase(base);
    if (text::endsWith(out, "/v1")) out.resize(out.size() - 3);
    return out;
}

std::string RizeruLocalProvider::resolvedBase() {
    return normalizedBase(env::string("VIVIROV_RIZERU_BASE_URL").value_or(std::string(kDefaultBase)));
}

RizeruLocalProvider::RizeruLocalProvider(std::optional<std::string> baseURL, std::string model)
    : OpenAIProvider("rizeru-local", "Vivirov Vizivurad \xC2\xB7 27B", std::move(model),
                     baseURL ? normalizedBase(*baseURL) : resolvedBase(), std::string(kPlaceholderKey)),
      reach_(std::make_shared<Reachability>(this->baseURL())) {}

RizeruLocalProvider::~RizeruLocalProvider() = default;

bool RizeruLocalProvider::probeHealth(const std::string& base) { return probe(base, kProbeTimeout, 0); }

bool RizeruLocalProvider::probeHealthSync(const std::string& base, double timeout) {
    return probe(base, timeout, timeout + 0.5);
}

bool RizeruLocalProvider::isReady() const {
    bool reachable, startProbe;
    {
        std::lock_guard guard(reach_->lock);
        reachable = reach_->reachable;
        startProbe = reach_->staleLocked() && !reach_->probeInFlight;
    }
    if (startProbe) {
        std::weak_ptr<Reachability> weak = reach_;
        std::thread([weak] {
            // Background work: let interactive threads go first.
            setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 10);
            if (auto state = weak.lock()) state->refresh(false);
        }).detach();
    }
    return reachable;
}

bool RizeruLocalProvider::probeReachability(bool force) { return reach_->refresh(force); }

void RizeruLocalProvider::noteProbeResult(bool reachable) {
    std::lock_guard guard(reach_->lock);
    reach_->reachable = reachable;
    reach_->lastProbe = Clock::current().uptimeNanos();
}

} // namespace vivirov

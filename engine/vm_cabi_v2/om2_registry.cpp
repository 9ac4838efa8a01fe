#include "vm_cabi_v2/om2_registry.h"

#include <chrono>
#include <cstdio>
#include <fstream>

namespace vm::apex {

namespace {
using Clock = std::chrono::steady_clock;
}

Om2Registry::Om2Registry() {
    for (size_t i = 0; i < kRingCapacity; ++i) ring_[i].seq.store(int64_t(i), std::memory_order_relaxed);
}

Om2Registry::~Om2Registry() { stop_prefetcher(); }

bool Om2Registry::load_dir(const std::string& dir) {
    std::string d = dir;
    while (!d.empty() && (d.back() == '/' || d.back() == '\\')) d.pop_back();
    std::lock_guard lock(mu_);
    dir_ = d;
    return !dir_.empty();
}

std::string Om2Registry::dir() const {
    std::lock_guard lock(mu_);
    return dir_;
}

void Om2Registry::set_budget(uint64_t bytes) {
    std::lock_guard lock(mu_);
    budget_bytes_ = bytes;
}

uint64_t Om2Registry::budget() const {
    std::lock_guard lock(mu_);
    return budget_bytes_;
}

uint64_t Om2Registry::resident_bytes() const {
    std::lock_guard lock(mu_);
    return resident_bytes_;
}

size_t Om2Registry::resident_count() const {
    std::lock_guard lock(mu_);
    return packs_.size();
}

bool Om2Registry::is_resident(int layer, int expert, char proj) const {
    std::lock_guard lock(mu_);
    return packs_.count(om2_pack_key(layer, expert, proj)) != 0;
}

bool Om2Registry::is_inflight(uint64_t key) const {
    std::lock_guard lock(inflight_mu_);
    return inflight_.count(key) != 0;
}

std::string Om2Registry::resolve_path_(int layer, int expert, char proj) const {
    const std::string d = dir();
    if (d.empty()) return {};
    const char* name = (proj == 'g' || proj == 'G') ? "gate" : (proj == 'd' || proj == 'D') ? "down" : "up";
    char buf[512];
    std::snprintf(buf, sizeof buf, "%s/%s_L%02d_E%03d.om2", d.c_str(), name, layer, expert);
    if (std::ifstream(buf, std::ios::binary)) return buf;
    std::snprintf(buf, sizeof buf, "%s/L%d_e%d_%s.om2", d.c_str(), layer, expert, name);
    if (std::ifstream(buf, std::ios::binary)) return buf;
    return {};
}

void Om2Registry::touch_locked_(uint64_t key) {
    auto it = lru_index_.find(key);
    if (it == lru_index_.end()) return;
    lru_.erase(it->second);
    lru_.push_back(key);
    it->second = std::prev(lru_.end());
}

Om2Registry::PackPtr Om2Registry::find_touch_locked_(uint64_t key) {
    auto it = packs_.find(key);
    if (it == packs_.end()) return nullptr;
    touch_locked_(key);
    return it->second;
}

void Om2Registry::insert_locked_(uint64_t key, Om2Pack&& pack) {
    const uint64_t need = pack.bytes();
    while (resident_bytes_ + need > budget_bytes_ && !lru_.empty()) {
        const uint64_t old = lru_.front();
        lru_.pop_front();
        lru_index_.erase(old);
        if (auto it = packs_.find(old); it != packs_.end()) {
            resident_bytes_ -= it->second->bytes();
            packs_.erase(it); // a caller still using the pack keeps its own reference
        }
    }
    resident_bytes_ += need;
    packs_[key] = std::make_shared<const Om2Pack>(std::move(pack));
    lru_.push_back(key);
    lru_index_[key] = std::prev(lru_.end());
}

bool Om2Registry::claim_inflight_(uint64_t key) {
    std::lock_guard lock(inflight_mu_);
    return inflight_.insert(key).second;
}

void Om2Registry::complete_inflight_(uint64_t key, bool) {
    {
        std::lock_guard lock(inflight_mu_);
        inflight_.erase(key);
    }
    inflight_cv_.notify_all();
}

bool Om2Registry::wait_inflight_(uint64_t key, int timeout_ms) {
    std::unique_lock lock(inflight_mu_);
    if (timeout_ms < 1) return inflight_.count(key) != 0;
    if (!inflight_.count(key)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    return inflight_cv_.wait_until(lock, deadline, [&] { return inflight_.count(key) == 0; });
}

std::shared_ptr<const Om2Pack> Om2Registry::get_or_load(int layer, int expert, char proj) {
    const uint64_t key = om2_pack_key(layer, expert, proj);
    {
        std::lock_guard lock(mu_);
        if (auto p = find_touch_locked_(key)) {
            ++hits_;
            return p;
        }
    }
    if (wait_inflight_(key, 25)) {
        std::lock_guard lock(mu_);
        if (auto p = find_touch_locked_(key)) {
            ++hits_;
            return p;
        }
    }
    const std::string path = resolve_path_(layer, expert, proj);
    if (path.empty()) {
        ++fails_;
        return nullptr;
    }
    const bool claimed = claim_inflight_(key);
    if (!claimed) {
        wait_inflight_(key, 200);
        std::lock_guard lock(mu_);
        if (auto p = find_touch_locked_(key)) {
            ++hits_;
            return p;
        }
    }
    Om2Pack pack;
    if (!load_om2_file(path, pack)) {
        if (claimed) complete_inflight_(key, false);
        ++fails_;
        return nullptr;
    }
    // Packs whose writer left the tag empty carry their projection letter.
    if (pack.tag[0] == 0) pack.tag[0] = uint8_t(proj);
    PackPtr result;
    {
        std::lock_guard lock(mu_);
        result = find_touch_locked_(key);
        if (!result) {
            insert_locked_(key, std::move(pack));
            result = packs_[key];
            ++loads_;
        }
        ++hits_;
    }
    if (claimed) complete_inflight_(key, true);
    return result;
}

bool Om2Registry::ensure_resident(int layer, int expert, char proj, int timeout_ms) {
    const uint64_t key = om2_pack_key(layer, expert, proj);
    {
        std::lock_guard lock(mu_);
        if (find_touch_locked_(key)) {
            ++async_hit_;
            return true;
        }
    }
    const auto t0 = Clock::now();
    wait_inflight_(key, timeout_ms);
    wait_ns_ += uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
    {
        std::lock_guard lock(mu_);
        if (find_touch_locked_(key)) {
            ++wait_ok_;
            return true;
        }
    }
    ++sync_fb_;
    return get_or_load(layer, expert, proj) != nullptr;
}

bool Om2Registry::prefetch_async(int layer, int expert, char proj) {
    if (layer < 0 || expert < 0) return false;
    if (!prefetch_running_.load() && !dir().empty()) start_prefetcher();
    if (!prefetch_running_.load()) return false;
    if (proj != 0) return enqueue_one_(layer, expert, proj);
    bool any = false;
    for (char p : {'u', 'g', 'd'}) any = enqueue_one_(layer, expert, p) || any;
    return any;
}

bool Om2Registry::enqueue_one_(int layer, int expert, char proj) {
    const uint64_t key = om2_pack_key(layer, expert, proj);
    {
        std::lock_guard lock(mu_);
        if (packs_.count(key)) {
            touch_locked_(key);
            return false;
        }
        std::lock_guard in(inflight_mu_);
        if (!inflight_.insert(key).second) return false;
    }
    uint64_t pos = enqueue_pos_.load(std::memory_order_relaxed);
    for (;;) {
        PrefetchSlot& c = ring_[pos % kRingCapacity];
        const int64_t seq = c.seq.load(std::memory_order_acquire);
        const int64_t diff = seq - int64_t(pos);
        if (diff == 0) {
            if (enqueue_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                c.layer = layer;
                c.expert = expert;
                c.proj = uint8_t(proj);
                c.seq.store(int64_t(pos + 1), std::memory_order_release);
                ++push_;
                return true;
            }
        } else if (diff < 0) {
            // Full: the request is lost; a later one for the key may go in.
            {
                std::lock_guard in(inflight_mu_);
                inflight_.erase(key);
            }
            ++drop_;
            return false;
        } else {
            pos = enqueue_pos_.load(std::memory_order_relaxed);
        }
    }
}

void Om2Registry::start_prefetcher() {
    std::lock_guard lock(lifecycle_mu_);
    bool expected = false;
    if (!prefetch_running_.compare_exchange_strong(expected, true)) return;
    prefetch_stop_.store(false);
    try {
        prefetcher_ = std::thread([this] { prefetcher_main_(); });
    } catch (...) {
        prefetch_running_.store(false);
        throw;
    }
}

void Om2Registry::stop_prefetcher() {
    std::lock_guard lock(lifecycle_mu_);
    if (!prefetcher_.joinable()) return;
    prefetch_stop_.store(true);
    {
        std::lock_guard in(inflight_mu_);
    }
    inflight_cv_.notify_all();
    prefetcher_.join();
    prefetch_running_.store(false);
    std::lock_guard in(inflight_mu_);
    inflight_.clear();
}

void Om2Registry::prefetcher_main_() {
    auto take = [this](int32_t& layer, int32_t& expert, uint8_t& proj) {
        const uint64_t pos = dequeue_pos_;
        PrefetchSlot& c = ring_[pos % kRingCapacity];
        if (c.seq.load(std::memory_order_acquire) != int64_t(pos + 1)) return false;
        layer = c.layer;
        expert = c.expert;
        proj = c.proj;
        dequeue_pos_ = pos + 1;
        c.seq.store(int64_t(pos + kRingCapacity), std::memory_order_release);
        return true;
    };
    int32_t layer, expert;
    uint8_t proj;
    while (!prefetch_stop_.load()) {
        if (!take(layer, expert, proj)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        const uint64_t key = om2_pack_key(layer, expert, char(proj));
        {
            std::lock_guard lock(mu_);
            if (packs_.count(key)) {
                touch_locked_(key);
                complete_inflight_(key, true);
                ++completed_;
                continue;
            }
        }
        const std::string path = resolve_path_(layer, expert, char(proj));
        Om2Pack pack;
        if (path.empty() || !load_om2_file_uncached(path, pack)) {
            complete_inflight_(key, false);
            continue;
        }
        {
            std::lock_guard lock(mu_);
            if (packs_.count(key))
                touch_locked_(key);
            else
                insert_locked_(key, std::move(pack));
        }
        complete_inflight_(key, true);
        ++completed_;
    }
    // Drain: release every queued request's mark without loading it.
    while (take(layer, expert, proj)) complete_inflight_(om2_pack_key(layer, expert, char(proj)), false);
}

std::string Om2Registry::prefetch_stats_string() const {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "om2_prefetch push=%llu async_hit=%llu wait_ok=%llu sync_fb=%llu drop=%llu wait_ms=%.3f "
                  "completed=%llu",
                  (unsigned long long)push_.load(), (unsigned long long)async_hit_.load(),
                  (unsigned long long)wait_ok_.load(), (unsigned long long)sync_fb_.load(),
                  (unsigned long long)drop_.load(), double(wait_ns_.load()) / 1000000.0,
                  (unsigned long long)completed_.load());
    return buf;
}

Om2Registry::Stats Om2Registry::stats() const {
    return {push_.load(),    completed_.load(), drop_.load(),  async_hit_.load(), wait_ok_.load(),
            sync_fb_.load(), wait_ns_.load(),   hits_.load(), loads_.load(),     fails_.load()};
}

} // namespace vm::apex

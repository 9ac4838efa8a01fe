#include "vm_cabi_v2/nvme_pager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/engine_log.h"
#include "vm_cabi/gguf_model.h"
#include "vm_cabi_v2/ggml_blocks.h"

namespace vm {

namespace {
constexpr int kReadThreads = 4;
}

VMNVMePager::VMNVMePager(const GGUFModel& model, const std::string& model_path, VMUVMAllocator& alloc,
                         int n_layers, int)
    : model_(model), alloc_(alloc), n_layers_(n_layers < 0 ? 0 : n_layers), regs_(size_t(n_layers_) * 3) {
    const auto paths = GGUFModel::shard_paths(model_path);
    fds_.assign(model.shards.size(), -1);
    for (size_t i = 0; i < fds_.size() && i < paths.size(); ++i) {
        const int fd = ::open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            log_line("[VMNVMe] open(%s) failed errno=%d", paths[i].c_str(), errno);
            continue;
        }
        fds_[i] = fd;
    }
    try {
        queue_ = std::make_unique<ReadQueue>("vivirov.vm.nvme", kReadThreads);
    } catch (const std::exception&) {
        for (size_t i = 0; i < fds_.size(); ++i)
            if (fds_[i] >= 0) log_line("[VMNVMe] dispatch_io_create failed for shard %zu — async falls back to pread", i);
    }
}

VMNVMePager::~VMNVMePager() {
    queue_.reset(); // runs and joins every read still queued
    for (int fd : fds_)
        if (fd >= 0) ::close(fd);
}

void VMNVMePager::drain() {
    if (queue_) queue_->drain();
}

int VMNVMePager::register_layer_tensors(int layer, const GGUFModel& model, long long n_embd, long long expert_ff) {
    const std::string b = "blk." + std::to_string(layer);
    const GGUFTensor* up = model.find(b + ".ffn_up_exps.weight");
    const GGUFTensor* gate = model.find(b + ".ffn_gate_exps.weight");
    const GGUFTensor* down = model.find(b + ".ffn_down_exps.weight");
    if (!up || !gate || !down) {
        log_line("[UVM] layer %d: missing ffn_{up,gate,down}_exps.weight — skipping.", layer);
        return 0;
    }
    return register_layer_tensors(layer, up, gate, down, n_embd, expert_ff, expert_ff, n_embd);
}

int VMNVMePager::register_layer_tensors(int layer, const GGUFTensor* up, const GGUFTensor* gate,
                                        const GGUFTensor* down, long long a, long long b, long long c, long long d) {
    if (layer < 0 || layer >= n_layers_) return 0;
    const GGUFTensor* ts[3] = {up, gate, down};
    const unsigned long long elems[3] = {(unsigned long long)(a * b), (unsigned long long)(a * b),
                                         (unsigned long long)(c * d)};
    for (int p = 0; p < 3; ++p) register_one_(regs_[size_t(layer) * 3 + size_t(p)], ts[p], elems[p]);
    return 1;
}

void VMNVMePager::register_one_(Reg& r, const GGUFTensor* t, unsigned long long elements) {
    if (r.registered || !t) return;
    const GgmlBlock blk = ggml_block(t->type);
    r.slice_bytes = blk.elements ? elements / blk.elements * blk.bytes : 0;
    for (size_t i = 0; i < model_.shards.size(); ++i) {
        const GGUFFile& f = *model_.shards[i];
        if (t->data >= f.base && t->data < f.base + f.size) {
            r.shard = int32_t(i);
            r.offset = uint64_t(t->data - f.base);
            r.type = t->type;
            r.registered = true;
            return;
        }
    }
    log_line("[VMNVMe] tensor %s not owned by any mapped shard — cannot register.", t->name.c_str());
}

bool VMNVMePager::pread_full_(int fd, void* buf, size_t n, uint64_t offset) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, static_cast<uint8_t*>(buf) + got, n - got, off_t(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            log_line("[VMNVMe] pread EOF off=%llu n=%zu got=%zu (short read)", (unsigned long long)offset, n, got);
            return false;
        }
        if (r < 0) {
            log_line("[VMNVMe] pread errno=%d off=%llu n=%zu got=%zu", errno, (unsigned long long)offset, n, got);
            return false;
        }
        got += size_t(r);
    }
    return true;
}

VMNVMePager::Acc::Acc(uint8_t* slot, uint64_t bytes, std::shared_ptr<SliceEvent> fence, uint64_t value,
                      std::atomic<bool>* fault)
    : slot_(slot), bytes_(bytes), future_(promise_.get_future().share()), fence_(std::move(fence)), value_(value),
      fault_(fault) {}

uint64_t VMNVMePager::Acc::received() const {
    std::lock_guard lock(mu_);
    return received_;
}

void VMNVMePager::Acc::deliver(const uint8_t* data, size_t len) {
    std::lock_guard lock(mu_);
    if (finished_ || overran_) return;
    if (received_ + len > bytes_) {
        overran_ = true;
        fault_->store(true);
        return;
    }
    if (data != slot_ + received_) std::memcpy(slot_ + received_, data, len);
    received_ += len;
}

void VMNVMePager::Acc::finish(int error, const char* what) {
    std::exception_ptr failure;
    {
        std::lock_guard lock(mu_);
        if (finished_) return;
        finished_ = true;
        if (error != 0) {
            failure = std::make_exception_ptr(std::runtime_error(what));
        } else if (overran_ || received_ != bytes_) {
            failure = std::make_exception_ptr(std::runtime_error("VMNVMe: dispatch_io short read"));
        } else if (fault_->load(std::memory_order_acquire)) {
            // Another read failed: this slice is not trusted either.
            failure = std::make_exception_ptr(std::future_error(std::future_errc::broken_promise));
        }
        if (failure && (error != 0 || overran_ || received_ != bytes_)) fault_->store(true);
    }
    // The fence goes up first, so whoever sees the future ready also sees
    // the fence at its read-done value; a failed read raises it too, so a
    // GPU wait on it ends.
    if (fence_ && value_ != 0) fence_->signal(value_);
    if (failure)
        promise_.set_exception(failure);
    else
        promise_.set_value();
}

void VMNVMePager::read_slice_(int fd, uint8_t* dst, uint64_t bytes, uint64_t offset, Acc& acc) {
    uint64_t got = 0;
    while (got < bytes) {
        const uint64_t want = std::min(kPieceBytes, bytes - got);
        const ssize_t r = ::pread(fd, dst + got, size_t(want), off_t(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return acc.finish(errno);
        if (r == 0) break;
        // The ring holds the piece now: the file's pages need not stay cached.
        ::posix_fadvise(fd, off_t(offset + got), off_t(r), POSIX_FADV_DONTNEED);
        acc.deliver(dst + got, size_t(r));
        got += uint64_t(r);
    }
    acc.finish(0);
}

VMNVMePager::Handle VMNVMePager::fetch_expert_async(int layer, ExpertProj proj, int expert, uint64_t wait_value,
                                                    std::shared_ptr<SliceEvent> fence, bool wait_for_slot) {
    Handle h;
    h.wait_value = wait_value;
    h.fence = fence;
    static const Reg kNone;
    const bool in_range = layer >= 0 && layer < n_layers_ && proj >= 0 && proj <= 2 && expert >= 0;
    const Reg& r = in_range ? regs_[size_t(layer) * 3 + size_t(proj)] : kNone;
    h.bytes = r.slice_bytes;
    h.host = alloc_.allocate_expert_slot(size_t(r.slice_bytes), nullptr, wait_for_slot);
    if (!h.host) {
        if (wait_for_slot) log_line("[VMNVMe] slot alloc failed (%zu B)", size_t(r.slice_bytes));
        return h;
    }
    uint8_t* dst = static_cast<uint8_t*>(h.host);
    auto acc = std::make_shared<Acc>(dst, r.slice_bytes, std::move(fence), wait_value, &pager_fault);
    h.ready = acc->future();
    const int fd = r.registered && size_t(r.shard) < fds_.size() ? fds_[size_t(r.shard)] : -1;
    const uint64_t offset = r.offset + uint64_t(expert) * r.slice_bytes;
    if (fd >= 0 && queue_) {
        const uint64_t bytes = r.slice_bytes;
        queue_->submit([fd, dst, bytes, offset, acc] { read_slice_(fd, dst, bytes, offset, *acc); });
        return h;
    }
    // No channel: a blocking read on this thread. The slot is handed back in
    // the handle either way, so the caller records and later releases it.
    if (fd >= 0 && pread_full_(fd, dst, size_t(r.slice_bytes), offset)) {
        acc->deliver(dst, size_t(r.slice_bytes));
        acc->finish(0);
    } else {
        pager_fault.store(true);
        acc->finish(EIO, "VMNVMe: async fallback pread failed");
    }
    return h;
}

} // namespace vm

#pragma once
// Reads expert slices straight from the model's shard files into ring
// slots. Each shard is opened once; a read runs on the pager's queue in
// pieces of at most 8 MiB, each handed to the read's accumulator, with the
// pages it read dropped from the page cache afterwards. Any failed read
// latches pager_fault for good. Every read ends by fulfilling or failing its
// future and raising its own fence to its read-done value, so nobody waits
// on a failed read forever. Destruction waits for every read still running.
#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "expert_slice.h"
#include "read_queue.h"
#include "slice_event.h"
#include "uvm_allocator.h"

class GGUFModel;
struct GGUFTensor;

namespace vm {

class VMNVMePager {
public:
    static constexpr uint64_t kPieceBytes = 8388608;

    struct Reg {
        int32_t shard = -1;
        uint64_t offset = 0;
        uint64_t slice_bytes = 0;
        uint32_t type = 0;
        bool registered = false;
    };

    struct Handle {
        void* host = nullptr;
        uint64_t bytes = 0;
        std::shared_future<void> ready;
        uint64_t wait_value = 0;
        uint64_t signal_value = 0;
        std::shared_ptr<SliceEvent> fence; // the stage's own fence
        bool unclaimed = false;            // a prefetch no user has taken yet
    };

    // What one read has delivered into its slot. Pieces arrive in order,
    // from any thread; finish() ends the read exactly once: the future is
    // fulfilled only when the slot holds exactly its bytes and no read of
    // the pager has failed, and the fence is raised to the read-done value
    // either way.
    class Acc {
    public:
        Acc(uint8_t* slot, uint64_t bytes, std::shared_ptr<SliceEvent> fence, uint64_t value,
            std::atomic<bool>* fault);
        std::shared_future<void> future() const { return future_; }
        // A piece read in place (data == slot + received) is only counted.
        void deliver(const uint8_t* data, size_t len);
        // error: 0, or an errno (reported as `what`, by default a read error).
        void finish(int error, const char* what = "VMNVMe: dispatch_io_read error");
        uint64_t received() const;

    private:
        mutable std::mutex mu_;
        uint8_t* slot_;
        uint64_t bytes_;
        uint64_t received_ = 0;
        bool overran_ = false;
        bool finished_ = false;
        std::promise<void> promise_;
        std::shared_future<void> future_;
        std::shared_ptr<SliceEvent> fence_;
        uint64_t value_;
        std::atomic<bool>* fault_;
    };

    VMNVMePager(const GGUFModel& model, const std::string& model_path, VMUVMAllocator& alloc, int n_layers, int);
    ~VMNVMePager();
    VMNVMePager(const VMNVMePager&) = delete;
    VMNVMePager& operator=(const VMNVMePager&) = delete;

    // By name: blk.<layer>.ffn_{up,gate,down}_exps.weight.
    int register_layer_tensors(int layer, const GGUFModel& model, long long n_embd, long long expert_ff);
    // Up and gate slices hold a·b elements, down c·d.
    int register_layer_tensors(int layer, const GGUFTensor* up, const GGUFTensor* gate, const GGUFTensor* down,
                               long long a, long long b, long long c, long long d);

    // Starts the read of one slice into a new slot; `fence` (may be null) is
    // raised to wait_value when the read ends. A null host: no slot (with
    // wait_for_slot false, also when the ring has no room now).
    Handle fetch_expert_async(int layer, ExpertProj proj, int expert, uint64_t wait_value,
                              std::shared_ptr<SliceEvent> fence = nullptr, bool wait_for_slot = true);
    bool pread_full_(int fd, void* buf, size_t n, uint64_t offset);

    bool fault() const { return pager_fault.load(std::memory_order_acquire); }
    const Reg& reg(int layer, ExpertProj proj) const { return regs_[size_t(layer) * 3 + size_t(proj)]; }
    // Waits for every read issued so far.
    void drain();

    std::atomic<bool> pager_fault{false};

private:
    void register_one_(Reg& r, const GGUFTensor* t, unsigned long long elements);
    static void read_slice_(int fd, uint8_t* dst, uint64_t bytes, uint64_t offset, Acc& acc);

    const GGUFModel& model_;
    VMUVMAllocator& alloc_;
    int n_layers_;
    std::vector<int> fds_;
    std::vector<Reg> regs_;
    std::unique_ptr<ReadQueue> queue_; // null: reads run synchronously
};

} // namespace vm

#pragma once
// One GPU submission under construction: command buffers ("segments")
// recorded in order, split where a shared event is waited on or signalled,
// submitted together and waited on with one fence. Buffers and events it uses
// are kept alive until it is destroyed.
#include "gpu_device.h"
#include "gpu_kernels.h"

#include <initializer_list>
#include <vector>

namespace vmgpu {

struct SharedEvent;

// A buffer operand: the bytes [off, off + bytes) that the kernel touches
// (bytes 0: up to the end of the buffer). Binds at off rounded down to the
// device's alignment; the rest reaches the kernel as a byte offset.
struct Operand {
    GpuBuffer* buf = nullptr;
    uint64_t off = 0;
    uint64_t bytes = 0;
    bool byte_addressed = false; // quantised weights: any byte offset
};

struct Groups {
    uint32_t x = 1, y = 1, z = 1;
};

class Submission {
public:
    explicit Submission(const GpuDevice& dev);
    ~Submission();
    Submission(const Submission&) = delete;
    Submission& operator=(const Submission&) = delete;

    bool ok() const { return !segments_.empty(); }

    // Records one dispatch. False (nothing recorded) when the pipeline is
    // missing, an operand is misaligned or reaches past the binding limit, or
    // descriptors run out.
    bool dispatch(Kernel k, std::initializer_list<Operand> ops, std::initializer_list<uint32_t> consts, Groups g);
    // Compute and transfer writes before it are visible to work after it.
    void barrier();
    void fill_zero(GpuBuffer* b, uint64_t off, uint64_t bytes);
    // Copies `rows` rows of row_bytes from src (stride src_stride) to dst (stride dst_stride).
    void copy_rows(GpuBuffer* src, uint64_t src_off, uint64_t src_stride, GpuBuffer* dst, uint64_t dst_off,
                   uint64_t dst_stride, uint64_t row_bytes, uint64_t rows);
    void keep(GpuBuffer* b);
    void wait_event(SharedEvent* ev, uint64_t value);
    void signal_event(SharedEvent* ev, uint64_t value);
    // Submits every segment and waits. False when submission or the wait
    // failed; a lost device also makes the bridge unavailable.
    bool submit_and_wait();

private:
    struct Segment {
        VkCommandBuffer cb = VK_NULL_HANDLE;
        std::vector<std::pair<SharedEvent*, uint64_t>> waits, signals;
    };
    bool open_segment();
    void close_segment();
    VkDescriptorSet allocate_set();

    const GpuDevice& dev_;
    std::vector<Segment> segments_;
    std::vector<VkDescriptorPool> pools_;
    uint32_t sets_left_ = 0;
    std::vector<GpuBuffer*> kept_;
    std::vector<SharedEvent*> events_;
    bool submitted_ = false;
};

} // namespace vmgpu

#include "gpu_submission.h"

#include "gpu_bridge.h"
#include "gpu_shared_event.h"

#include <algorithm>

namespace vmgpu {

namespace {

constexpr uint32_t kSetsPerPool = 256;

void memory_barrier(VkCommandBuffer cb, VkPipelineStageFlags dst_stage, VkAccessFlags dst_access) {
    VkMemoryBarrier mb{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
    mb.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_WRITE_BIT;
    mb.dstAccessMask = dst_access;
    vkCmdPipelineBarrier(cb, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT, dst_stage, 0, 1,
                         &mb, 0, nullptr, 0, nullptr);
}

const VkPipelineStageFlags kWorkStages = VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT;
const VkAccessFlags kWorkAccess = VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT |
                                  VK_ACCESS_TRANSFER_READ_BIT | VK_ACCESS_TRANSFER_WRITE_BIT;

} // namespace

Submission::Submission(const GpuDevice& dev) : dev_(dev) { open_segment(); }

Submission::~Submission() {
    for (const Segment& s : segments_)
        if (s.cb) vkFreeCommandBuffers(dev_.device, dev_.command_pool, 1, &s.cb);
    for (VkDescriptorPool p : pools_) vkDestroyDescriptorPool(dev_.device, p, nullptr);
    for (GpuBuffer* b : kept_) buffer_release(dev_, b);
    for (SharedEvent* e : events_) event_release(e);
}

bool Submission::open_segment() {
    VkCommandBufferAllocateInfo ai{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    ai.commandPool = dev_.command_pool;
    ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    ai.commandBufferCount = 1;
    Segment s;
    if (vkAllocateCommandBuffers(dev_.device, &ai, &s.cb) != VK_SUCCESS) return false;
    VkCommandBufferBeginInfo bi{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    bi.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    vkBeginCommandBuffer(s.cb, &bi);
    // Work of an earlier segment is visible to this one.
    if (!segments_.empty()) memory_barrier(s.cb, kWorkStages, kWorkAccess);
    segments_.push_back(std::move(s));
    return true;
}

void Submission::close_segment() {
    VkCommandBuffer cb = segments_.back().cb;
    memory_barrier(cb, VK_PIPELINE_STAGE_HOST_BIT, VK_ACCESS_HOST_READ_BIT);
    vkEndCommandBuffer(cb);
}

VkDescriptorSet Submission::allocate_set() {
    if (sets_left_ == 0) {
        VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, kSetsPerPool * kMaxBindings};
        VkDescriptorPoolCreateInfo pi{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
        pi.maxSets = kSetsPerPool;
        pi.poolSizeCount = 1;
        pi.pPoolSizes = &size;
        VkDescriptorPool pool;
        if (vkCreateDescriptorPool(dev_.device, &pi, nullptr, &pool) != VK_SUCCESS) return VK_NULL_HANDLE;
        pools_.push_back(pool);
        sets_left_ = kSetsPerPool;
    }
    VkDescriptorSetAllocateInfo ai{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
    ai.descriptorPool = pools_.back();
    ai.descriptorSetCount = 1;
    ai.pSetLayouts = &dev_.set_layout;
    VkDescriptorSet set;
    if (vkAllocateDescriptorSets(dev_.device, &ai, &set) != VK_SUCCESS) return VK_NULL_HANDLE;
    --sets_left_;
    return set;
}

bool Submission::dispatch(Kernel k, std::initializer_list<Operand> ops, std::initializer_list<uint32_t> consts,
                          Groups g) {
    VkPipeline pipe = pipeline(k);
    if (!pipe || submitted_ || ops.size() > kMaxBindings || (ops.size() + consts.size()) * 4 > kPushBytes) return false;
    if (g.x == 0 || g.y == 0 || g.z == 0) return true; // nothing to run
    VkDescriptorBufferInfo infos[kMaxBindings];
    uint32_t push[kPushBytes / 4];
    uint32_t n = 0;
    for (const Operand& op : ops) {
        if (!op.buf || op.off > op.buf->size) return false;
        if (!op.byte_addressed && op.off % 4 != 0) return false;
        const uint64_t base = op.off - op.off % dev_.offset_align;
        const uint64_t rest = op.off - base;
        const uint64_t want = op.bytes ? rest + op.bytes : op.buf->size - base;
        if (base + want > op.buf->size) return false;
        uint64_t range = want;
        if (op.bytes == 0) range = std::min(range, dev_.max_binding);
        else if (range > dev_.max_binding) return false;
        // Round the range up to whole words (a byte-addressed tail is read as a
        // word) without passing the buffer's end.
        range = std::min((range + 3) & ~uint64_t(3), op.buf->size - base);
        if (range == 0) range = std::min<uint64_t>(4, op.buf->size - base);
        infos[n] = {op.buf->buffer, base, range};
        push[n] = uint32_t(rest);
        ++n;
    }
    BridgeState& s = bridge();
    for (uint32_t i = n; i < kMaxBindings; ++i) infos[i] = {s.dummy->buffer, 0, VK_WHOLE_SIZE};
    for (uint32_t c : consts) push[n++] = c;
    VkDescriptorSet set = allocate_set();
    if (!set) return false;
    VkWriteDescriptorSet writes[kMaxBindings];
    for (uint32_t i = 0; i < kMaxBindings; ++i) {
        writes[i] = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
        writes[i].dstSet = set;
        writes[i].dstBinding = i;
        writes[i].descriptorCount = 1;
        writes[i].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        writes[i].pBufferInfo = &infos[i];
    }
    vkUpdateDescriptorSets(dev_.device, kMaxBindings, writes, 0, nullptr);
    for (const Operand& op : ops) keep(op.buf);
    VkCommandBuffer cb = segments_.back().cb;
    vkCmdBindPipeline(cb, VK_PIPELINE_BIND_POINT_COMPUTE, pipe);
    vkCmdBindDescriptorSets(cb, VK_PIPELINE_BIND_POINT_COMPUTE, dev_.pipeline_layout, 0, 1, &set, 0, nullptr);
    vkCmdPushConstants(cb, dev_.pipeline_layout, VK_SHADER_STAGE_COMPUTE_BIT, 0, n * 4, push);
    vkCmdDispatch(cb, g.x, g.y, g.z);
    return true;
}

void Submission::barrier() {
    if (!submitted_) memory_barrier(segments_.back().cb, kWorkStages, kWorkAccess);
}

void Submission::fill_zero(GpuBuffer* b, uint64_t off, uint64_t bytes) {
    if (submitted_ || bytes == 0) return;
    keep(b);
    vkCmdFillBuffer(segments_.back().cb, b->buffer, off, bytes, 0);
}

void Submission::copy_rows(GpuBuffer* src, uint64_t src_off, uint64_t src_stride, GpuBuffer* dst, uint64_t dst_off,
                           uint64_t dst_stride, uint64_t row_bytes, uint64_t rows) {
    if (submitted_ || rows == 0 || row_bytes == 0) return;
    keep(src);
    keep(dst);
    std::vector<VkBufferCopy> regions(rows);
    for (uint64_t r = 0; r < rows; ++r) regions[r] = {src_off + r * src_stride, dst_off + r * dst_stride, row_bytes};
    vkCmdCopyBuffer(segments_.back().cb, src->buffer, dst->buffer, uint32_t(rows), regions.data());
}

void Submission::keep(GpuBuffer* b) {
    if (!b) return;
    buffer_retain(b);
    kept_.push_back(b);
}

void Submission::wait_event(SharedEvent* ev, uint64_t value) {
    if (submitted_ || !ev) return;
    event_retain(ev);
    events_.push_back(ev);
    close_segment();
    if (!open_segment()) return;
    segments_.back().waits.emplace_back(ev, value);
}

void Submission::signal_event(SharedEvent* ev, uint64_t value) {
    if (submitted_ || !ev) return;
    event_retain(ev);
    events_.push_back(ev);
    segments_.back().signals.emplace_back(ev, value);
    close_segment();
    open_segment();
}

bool Submission::submit_and_wait() {
    if (submitted_ || segments_.empty()) return false;
    submitted_ = true;
    close_segment();
    const size_t n = segments_.size();
    std::vector<VkSubmitInfo> infos(n);
    std::vector<VkTimelineSemaphoreSubmitInfo> timelines(n);
    std::vector<std::vector<VkSemaphore>> wait_sems(n), signal_sems(n);
    std::vector<std::vector<uint64_t>> wait_vals(n), signal_vals(n);
    std::vector<std::vector<VkPipelineStageFlags>> stages(n);
    for (size_t i = 0; i < n; ++i) {
        for (auto& [ev, v] : segments_[i].waits) {
            wait_sems[i].push_back(ev->semaphore);
            wait_vals[i].push_back(v);
            stages[i].push_back(VK_PIPELINE_STAGE_ALL_COMMANDS_BIT);
        }
        for (auto& [ev, v] : segments_[i].signals) {
            signal_sems[i].push_back(ev->semaphore);
            signal_vals[i].push_back(v);
        }
        timelines[i] = {VK_STRUCTURE_TYPE_TIMELINE_SEMAPHORE_SUBMIT_INFO};
        timelines[i].waitSemaphoreValueCount = uint32_t(wait_vals[i].size());
        timelines[i].pWaitSemaphoreValues = wait_vals[i].data();
        timelines[i].signalSemaphoreValueCount = uint32_t(signal_vals[i].size());
        timelines[i].pSignalSemaphoreValues = signal_vals[i].data();
        infos[i] = {VK_STRUCTURE_TYPE_SUBMIT_INFO, &timelines[i]};
        infos[i].waitSemaphoreCount = uint32_t(wait_sems[i].size());
        infos[i].pWaitSemaphores = wait_sems[i].data();
        infos[i].pWaitDstStageMask = stages[i].data();
        infos[i].commandBufferCount = 1;
        infos[i].pCommandBuffers = &segments_[i].cb;
        infos[i].signalSemaphoreCount = uint32_t(signal_sems[i].size());
        infos[i].pSignalSemaphores = signal_sems[i].data();
    }
    VkResult r = injected_submit_result();
    if (r != VK_SUCCESS) {
        if (r == VK_ERROR_DEVICE_LOST) mark_device_lost();
        return false;
    }
    VkFenceCreateInfo fi{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    VkFence fence;
    if (vkCreateFence(dev_.device, &fi, nullptr, &fence) != VK_SUCCESS) return false;
    r = vkQueueSubmit(dev_.queue, uint32_t(n), infos.data(), fence);
    if (r == VK_SUCCESS) r = vkWaitForFences(dev_.device, 1, &fence, VK_TRUE, UINT64_MAX);
    vkDestroyFence(dev_.device, fence, nullptr);
    if (r == VK_ERROR_DEVICE_LOST) mark_device_lost();
    return r == VK_SUCCESS;
}

} // namespace vmgpu

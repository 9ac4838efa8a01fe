#pragma once
// A persistent bridge buffer holding a small array, for kernel tests.
#include "vm_gpu.h"

#include <cstring>
#include <vector>

namespace gputest {

template <typename T> class DeviceVec {
public:
    explicit DeviceVec(size_t n, T fill = T()) : n_(n), buf_(vmb_persistent_alloc(n * sizeof(T) + 16)) {
        for (size_t i = 0; i < n; ++i) data()[i] = fill;
    }
    explicit DeviceVec(const std::vector<T>& v) : DeviceVec(v.size()) {
        std::memcpy(data(), v.data(), v.size() * sizeof(T));
    }
    ~DeviceVec() { vmb_persistent_free(buf_); }
    DeviceVec(const DeviceVec&) = delete;
    DeviceVec& operator=(const DeviceVec&) = delete;

    void* buf() const { return buf_; }
    T* data() const { return static_cast<T*>(vmb_persistent_contents(buf_)); }
    T& operator[](size_t i) const { return data()[i]; }
    std::vector<T> values() const { return std::vector<T>(data(), data() + n_); }

private:
    size_t n_;
    void* buf_;
};

} // namespace gputest

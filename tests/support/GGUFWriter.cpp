#include "tests/support/GGUFWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "tests/support/RandomBlocks.h"

namespace vivirov::test {

GGUFWriter& GGUFWriter::magic(std::string_view fourBytes) {
    magic_ = std::string(fourBytes);
    return *this;
}

GGUFWriter& GGUFWriter::version(uint32_t v) {
    version_ = v;
    return *this;
}

GGUFWriter& GGUFWriter::alignment(uint32_t a) {
    alignment_ = a;
    return u32("general.alignment", a);
}

std::string GGUFWriter::str8(std::string_view s) {
    uint64_t n = s.size();
    return le(&n, 8) + std::string(s);
}

GGUFWriter& GGUFWriter::raw(std::string_view key, uint32_t type, std::string_view valueBytes) {
    kvBytes_ += str8(key) + le(&type, 4) + std::string(valueBytes);
    ++kvCount_;
    return *this;
}

GGUFWriter& GGUFWriter::scalar(std::string_view key, uint32_t type, const void* p, size_t n) {
    return raw(key, type, le(p, n));
}

GGUFWriter& GGUFWriter::boolean(std::string_view key, bool v) {
    uint8_t b = v ? 1 : 0;
    return scalar(key, Bool, &b, 1);
}

GGUFWriter& GGUFWriter::str(std::string_view key, std::string_view v) { return raw(key, String, str8(v)); }

GGUFWriter& GGUFWriter::strings(std::string_view key, const std::vector<std::string>& list) {
    uint32_t elem = String;
    uint64_t n = list.size();
    std::string value = le(&elem, 4) + le(&n, 8);
    for (const auto& s : list) value += str8(s);
    return raw(key, Array, value);
}

GGUFWriter& GGUFWriter::tensorInfo(std::string_view name, const std::vector<uint64_t>& dims,
                                   uint32_t ggmlType, uint64_t offset) {
    uint32_t nd = uint32_t(dims.size());
    infoBytes_ += str8(name) + le(&nd, 4);
    for (uint64_t d : dims) infoBytes_ += le(&d, 8);
    infoBytes_ += le(&ggmlType, 4) + le(&offset, 8);
    ++tensorCount_;
    return *this;
}

GGUFWriter& GGUFWriter::tensor(std::string_view name, const std::vector<uint64_t>& dims,
                               uint32_t ggmlType, std::string_view bytes) {
    uint64_t a = alignment_ ? alignment_ : 1;
    data_.resize((data_.size() + a - 1) / a * a, '\0');
    uint64_t offset = data_.size();
    data_ += bytes;
    return tensorInfo(name, dims, ggmlType, offset);
}

GGUFWriter& GGUFWriter::tensorF32(std::string_view name, const std::vector<uint64_t>& dims,
                                  const std::vector<float>& values) {
    return tensor(name, dims, GF32, f32Bytes(values));
}

GGUFWriter& GGUFWriter::tensorRandom(std::string_view name, const std::vector<uint64_t>& dims,
                                     uint32_t ggmlType, uint32_t seed) {
    uint64_t elements = 1;
    for (uint64_t d : dims) elements *= d;
    return tensor(name, dims, ggmlType, randomBlocks(ggmlType, elements, seed));
}

GGUFWriter& GGUFWriter::dataSize(uint64_t n) {
    forcedSize_ = true;
    dataSize_ = n;
    return *this;
}

std::string GGUFWriter::bytes() const {
    std::string out = magic_.substr(0, 4);
    out.resize(4, '\0');
    out += le(&version_, 4) + le(&tensorCount_, 8) + le(&kvCount_, 8) + kvBytes_ + infoBytes_;
    uint64_t a = alignment_ ? alignment_ : 1;
    out.resize((out.size() + a - 1) / a * a, '\0');
    std::string data = data_;
    if (forcedSize_) data.resize(dataSize_, '\0');
    return out + data;
}

const std::string& GGUFWriter::write(const std::string& path) const {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    std::string b = bytes();
    f.write(b.data(), std::streamsize(b.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
    return path;
}

std::string GGUFWriter::f32Bytes(const std::vector<float>& v) { return le(v.data(), v.size() * 4); }

uint16_t GGUFWriter::f16Bits(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    uint32_t sign = (x >> 16) & 0x8000u;
    uint32_t exp = (x >> 23) & 0xFF;
    uint32_t man = x & 0x7FFFFFu;
    if (exp == 0xFF) return uint16_t(sign | 0x7C00u | (man ? 0x200u : 0));
    int e = int(exp) - 127 + 15;
    if (e >= 31) return uint16_t(sign | 0x7C00u);
    if (e <= 0) {
        if (e < -10) return uint16_t(sign);
        man |= 0x800000u;
        int shift = 14 - e;
        uint32_t h = man >> shift;
        uint32_t rem = man & ((1u << shift) - 1);
        uint32_t half = 1u << (shift - 1);
        if (rem > half || (rem == half && (h & 1))) ++h;
        return uint16_t(sign | h);
    }
    uint32_t h = (uint32_t(e) << 10) | (man >> 13);
    uint32_t rem = man & 0x1FFFu;
    if (rem > 0x1000u || (rem == 0x1000u && (h & 1))) ++h;
    return uint16_t(sign | h);
}

float GGUFWriter::f16Value(uint16_t h) {
    int sign = (h >> 15) & 1;
    int exp = (h >> 10) & 0x1F;
    int man = h & 0x3FF;
    double v;
    if (exp == 0) v = std::ldexp(double(man), -24);
    else if (exp == 31) v = man ? NAN : INFINITY;
    else v = std::ldexp(double(man | 0x400), exp - 25);
    return float(sign ? -v : v);
}

std::string GGUFWriter::f16Bytes(const std::vector<float>& v) {
    std::string out;
    for (float f : v) {
        uint16_t h = f16Bits(f);
        out += le(&h, 2);
    }
    return out;
}

std::string GGUFWriter::q8_0Bytes(const std::vector<float>& v) {
    std::string out;
    for (size_t b = 0; b + 32 <= v.size(); b += 32) {
        float amax = 0;
        for (size_t i = 0; i < 32; ++i) amax = std::max(amax, std::fabs(v[b + i]));
        float d = amax / 127.0f;
        uint16_t dh = f16Bits(d);
        float dq = f16Value(dh);
        out += le(&dh, 2);
        for (size_t i = 0; i < 32; ++i) {
            float q = dq > 0 ? std::round(v[b + i] / dq) : 0.0f;
            int8_t c = int8_t(std::clamp(q, -127.0f, 127.0f));
            out += le(&c, 1);
        }
    }
    return out;
}

std::vector<std::string> shardNames(const std::string& dir, const std::string& stem, int n) {
    std::vector<std::string> out;
    for (int i = 1; i <= n; ++i) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "-%05d-of-%05d.gguf", i, n);
        out.push_back(dir + "/" + stem + buf);
    }
    return out;
}

} // namespace vivirov::test

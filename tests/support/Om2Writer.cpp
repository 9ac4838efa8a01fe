#include "tests/support/Om2Writer.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

#include "tests/support/GGUFWriter.h"

namespace vivirov::test {

namespace {

template <class T> void put(std::string& out, T v) { out += GGUFWriter::le(&v, sizeof v); }

void putHalves(std::string& out, const std::vector<float>& v) {
    for (float f : v) put<uint16_t>(out, GGUFWriter::f16Bits(f));
}

double halfRounded(float f) { return double(GGUFWriter::f16Value(GGUFWriter::f16Bits(f))); }

} // namespace

std::string Om2Writer::bytes() const {
    std::string out = "VEZEV2";
    put<uint16_t>(out, magicTail);
    put<uint32_t>(out, word8);
    put<int32_t>(out, layer);
    put<int32_t>(out, expert);
    put<uint32_t>(out, headerRows >= 0 ? uint32_t(headerRows) : rows);
    put<uint32_t>(out, headerCols >= 0 ? uint32_t(headerCols) : cols);
    put<uint32_t>(out, headerRank >= 0 ? uint32_t(headerRank) : rank);
    put<uint32_t>(out, headerScales >= 0 ? uint32_t(headerScales) : uint32_t(scales.size()));
    put<int32_t>(out, group);
    put<uint64_t>(out, tag);
    putHalves(out, U);
    for (float f : S) put<float>(out, f);
    putHalves(out, V);
    for (float f : scales) put<float>(out, f);
    for (int8_t r : R) put<int8_t>(out, r);
    out.append(trailing, '\0');
    return out;
}

std::string Om2Writer::write(const std::string& path, int64_t keep) const {
    std::string b = bytes();
    if (keep >= 0 && size_t(keep) < b.size()) b.resize(size_t(keep));
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(b.data(), std::streamsize(b.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
    return path;
}

Om2Writer Om2Writer::fullRank(const std::vector<float>& W, uint32_t rows, uint32_t cols) {
    Om2Writer p;
    p.rows = rows;
    p.cols = cols;
    p.rank = cols;
    p.U = W;
    p.S.assign(cols, 1.0f);
    p.V.assign(size_t(cols) * cols, 0.0f);
    for (uint32_t j = 0; j < cols; ++j) p.V[size_t(j) * cols + j] = 1.0f;
    p.R.assign(size_t(rows) * cols, 0);
    return p;
}

Om2Writer Om2Writer::random(uint32_t rows, uint32_t cols, uint32_t rank, uint32_t nScales, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::uniform_int_distribution<int> q(-7, 7);
    Om2Writer p;
    p.rows = rows;
    p.cols = cols;
    p.rank = rank;
    p.U.resize(size_t(rows) * rank);
    p.V.resize(size_t(cols) * rank);
    p.S.resize(rank);
    p.scales.resize(nScales);
    p.R.resize(size_t(rows) * cols);
    for (float& f : p.U) f = u(rng);
    for (float& f : p.V) f = u(rng);
    for (float& f : p.S) f = 0.5f + 0.5f * u(rng);
    for (float& f : p.scales) f = 0.01f * (1.5f + u(rng));
    for (int8_t& r : p.R) r = int8_t(q(rng));
    return p;
}

std::vector<double> Om2Writer::lowRank(const std::vector<float>& x) const {
    std::vector<double> t(rank, 0.0), y(rows, 0.0);
    for (uint32_t k = 0; k < rank; ++k) {
        for (uint32_t j = 0; j < cols; ++j) t[k] += halfRounded(V[size_t(j) * rank + k]) * double(x[j]);
        t[k] *= double(S[k]);
    }
    for (uint32_t i = 0; i < rows; ++i)
        for (uint32_t k = 0; k < rank; ++k) y[i] += halfRounded(U[size_t(i) * rank + k]) * t[k];
    return y;
}

std::vector<double> Om2Writer::residual(const std::vector<float>& x) const {
    const uint64_t g = group < 1 ? 32 : uint64_t(group);
    std::vector<double> r(rows, 0.0);
    for (uint32_t i = 0; i < rows; ++i)
        for (uint32_t j = 0; j < cols; ++j) {
            const uint64_t n = uint64_t(i) * cols + j;
            const double s = n / g < scales.size() ? double(scales[n / g]) : 1.0;
            r[i] += double(R[n]) * s / 7.0 * double(x[j]);
        }
    return r;
}

std::string om2FileName(const std::string& proj, int layer, int expert) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s_L%02d_E%03d.om2", proj.c_str(), layer, expert);
    return buf;
}

} // namespace vivirov::test

#pragma once
// Writes om2 expert-pack files for tests: a 48-byte little-endian header
// ("VEZEV2", layer, expert, rows, cols, rank, scale count, group, tag), then
// U (rows × rank halves), S (rank floats), V (cols × rank halves), the group
// scales (floats) and the int8 residual (rows × cols). The layout is written
// out here as the tests' own view of the format, independent of the reader.
// Fields can be set to anything, so a test can also write every kind of
// broken pack.
#include <cstdint>
#include <string>
#include <vector>

namespace vivirov::test {

struct Om2Writer {
    int32_t layer = 0;
    int32_t expert = 0;
    uint32_t rows = 0;
    uint32_t cols = 0;
    uint32_t rank = 0;
    int32_t group = 32;
    uint16_t magicTail = 0; // bytes 6-7, ignored by readers
    uint32_t word8 = 0;     // bytes 8-11, ignored by readers
    uint64_t tag = 0;
    std::vector<float> U, S, V, scales;
    std::vector<int8_t> R;
    // Header fields written as given when set, whatever the arrays hold.
    int64_t headerRows = -1, headerCols = -1, headerRank = -1, headerScales = -1;
    uint64_t trailing = 0; // zero bytes after R, which readers ignore

    std::string bytes() const;
    // Writes bytes() cut to `keep` bytes (all when negative); returns the path.
    std::string write(const std::string& path, int64_t keep = -1) const;

    // A pack whose low-rank product is exactly W (rows × cols, row-major,
    // rounded to half precision): U = W, S = 1, V = identity; residual zero.
    static Om2Writer fullRank(const std::vector<float>& W, uint32_t rows, uint32_t cols);
    // A random low-rank pack with a random residual and `nScales` scales.
    static Om2Writer random(uint32_t rows, uint32_t cols, uint32_t rank, uint32_t nScales, uint32_t seed);
    // The value U·diag(S)·Vᵀ·x in double precision, from the half-rounded
    // factors as the file holds them.
    std::vector<double> lowRank(const std::vector<float>& x) const;
    // The residual term Σ_j R[i, j] · s(i·cols + j) / 7 · x_j in double.
    std::vector<double> residual(const std::vector<float>& x) const;
};

// Pack file name inside an om2 directory: "<proj>_L%02d_E%03d.om2".
std::string om2FileName(const std::string& proj, int layer, int expert);

} // namespace vivirov::test

#include "gguf_model.h"

#include <cstdio>

GGUFModel::~GGUFModel() {
    tensors.clear();
    while (!shards.empty()) shards.pop_back();
}

std::vector<std::string> GGUFModel::shard_paths(const std::string& path) {
    size_t d = path.rfind("-of-");
    size_t g = path.rfind(".gguf");
    if (d == std::string::npos || g == std::string::npos || g < d + 4) return {path};

    unsigned long long n = 0;
    for (size_t i = d + 4; i < g && path[i] >= '0' && path[i] <= '9'; ++i) {
        n = n * 10 + unsigned(path[i] - '0');
        if (n > 99999) break; // more shards than the five-digit names can number
    }
    if (d == 0 || n < 1 || n > 99999) return {path};
    size_t k = path.rfind('-', d - 1);
    if (k == std::string::npos) return {path};

    std::string prefix = path.substr(0, k + 1);
    std::string suffix = path.substr(d);
    std::vector<std::string> out;
    out.reserve(size_t(n));
    char num[16];
    for (unsigned long long i = 1; i <= n; ++i) {
        std::snprintf(num, sizeof num, "%05llu", i);
        out.push_back(prefix + num + suffix);
    }
    return out;
}

void GGUFModel::open(const std::string& path) {
    for (const std::string& p : shard_paths(path)) shards.push_back(std::make_unique<GGUFFile>(p));
    for (const auto& shard : shards)
        for (const GGUFTensor& t : shard->tensors) tensors[t.name] = &t;
}

const GGUFTensor* GGUFModel::find(const std::string& name) const {
    auto it = tensors.find(name);
    return it == tensors.end() ? nullptr : it->second;
}

#pragma once
// A model split over numbered shard files ("name-00001-of-00003.gguf" …),
// joined into one name-to-tensor table. A single-file model is one shard.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gguf_file.h"

class GGUFModel {
public:
    GGUFModel() = default;
    ~GGUFModel();
    GGUFModel(const GGUFModel&) = delete;
    GGUFModel& operator=(const GGUFModel&) = delete;

    // Every shard file name of the model that `path` names, always from shard 1;
    // the path alone when it carries no "-NNNNN-of-NNNNN.gguf" suffix.
    static std::vector<std::string> shard_paths(const std::string& path);

    // Opens every shard in order; a later shard's tensor wins a repeated name.
    // Throws the reader's error of the first shard that fails; the shards opened
    // before it stay until the model is destroyed.
    void open(const std::string& path);

    const GGUFTensor* find(const std::string& name) const;

    std::vector<std::unique_ptr<GGUFFile>> shards;
    std::unordered_map<std::string, const GGUFTensor*> tensors;
};

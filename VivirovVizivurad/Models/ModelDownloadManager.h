#pragma once
#include <cstdint>
#include <string>

namespace vivirov {

// Downloads of local model files into the app's models folder. So far only
// the two helpers the engine host shares with it.
class ModelDownloadManager {
public:
    // <data>/com.dudive.vivirov/models, created (with its parents) when asked
    // for; a failure to create it is ignored. Follows the current data folder.
    static std::string modelsDir();
    // The file's size in bytes; 0 when its attributes cannot be read.
    static int64_t sizeOnDisk(const std::string& path);
};

} // namespace vivirov

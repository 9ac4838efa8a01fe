#include "VivirovVizivurad/Models/ModelDownloadManager.h"

#include <sys/stat.h>

#include "VivirovKit/Support/Paths.h"

namespace vivirov {

std::string ModelDownloadManager::modelsDir() {
    std::string dir = paths::appData() + "/models";
    paths::ensureDirectory(dir);
    return dir;
}

int64_t ModelDownloadManager::sizeOnDisk(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return int64_t(st.st_size);
}

} // namespace vivirov

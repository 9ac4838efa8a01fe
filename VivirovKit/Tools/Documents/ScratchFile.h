#pragma once
// A "vivirov_doc_<UUID><suffix>" file in the user's temporary folder that a
// tool hands to a child program; removed when the object goes, whatever happened.
#include <string>

namespace vivirov {

class ScratchFile {
public:
    explicit ScratchFile(const std::string& suffix);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Creates the file (0600, never over an existing one) holding `content`;
    // false with `error` set to the system's description on failure.
    bool write(const std::string& content, std::string& error);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool created_ = false;
};

} // namespace vivirov

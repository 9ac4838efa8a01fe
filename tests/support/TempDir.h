#pragma once
#include <string>

namespace vivirov::test {

// A fresh directory under the temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes `content` to `name` (parents created); returns the full path.
    std::string write(const std::string& name, const std::string& content) const;
    static std::string read(const std::string& path);

private:
    std::string path_;
};

} // namespace vivirov::test

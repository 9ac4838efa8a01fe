#include "VivirovKit/Tools/Documents/ScratchFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/UUID.h"

namespace vivirov {

ScratchFile::ScratchFile(const std::string& suffix)
    : path_(paths::temporary() + "/vivirov_doc_" + UUID::random().string() + suffix) {}

ScratchFile::~ScratchFile() {
    if (created_) ::unlink(path_.c_str());
}

bool ScratchFile::write(const std::string& content, std::string& error) {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    created_ = true;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace vivirov

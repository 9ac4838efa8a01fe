#include "VivirovVizivurad/Store/ChatStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/UUID.h"

namespace vivirov {

namespace {
std::string folderOf(const std::string& path) { return std::filesystem::path(path).parent_path().string(); }

// A complete new file replaces the old one, never a partly written one.
bool writeAtomically(const std::string& path, const std::string& bytes) {
    std::string temporary = path + ".tmp-" + UUID::random().string();
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += size_t(n);
    }
    bool ok = written == bytes.size() && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}
} // namespace

ChatStore::ChatStore() : ChatStore(chatArchivePath()) {}

ChatStore::ChatStore(std::string path) : url(std::move(path)) {
    paths::ensureDirectory(folderOf(url));
    load();
}

void ChatStore::load() {
    struct stat info {};
    if (::stat(url.c_str(), &info) != 0) return; // no file yet: start empty
    std::ifstream in(url, std::ios::binary);
    std::stringstream bytes;
    if (in) bytes << in.rdbuf();
    if (in && !in.bad()) {
        if (auto decoded = ChatArchive::decode(bytes.str())) {
            archive = std::move(*decoded);
            return;
        }
    }
    protectUnreadableFile_ = true;
}

void ChatStore::save() {
    // The flag is read and cleared only on `io`, after load() has set it.
    io.async([this, copy = archive, path = url] {
        if (protectUnreadableFile_) {
            std::string aside = path + ".corrupt-" + std::to_string(std::time(nullptr));
            if (::rename(path.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
                logLine("[vivirov] chat-history.json could not be read and could not be moved aside (" +
                        std::string(std::strerror(errno)) + "); not overwriting it");
                return;
            }
            protectUnreadableFile_ = false;
            logLine("[vivirov] chat-history.json could not be read; kept as " + aside);
        }
        writeAtomically(path, copy.encode());
    });
}

} // namespace vivirov

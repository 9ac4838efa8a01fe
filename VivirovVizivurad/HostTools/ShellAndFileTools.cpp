// The executor's shell and file tools.
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Support/UUID.h"
#include "VivirovKit/Tools/Documents/DocumentTools.h"

namespace vivirov {

namespace {

// Closes a descriptor on every way out.
struct FileDescriptor {
    int fd;
    explicit FileDescriptor(int f) : fd(f) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
};

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string ToolExecutionManager::executeBash(const std::string& command, std::stop_token stop) {
    // Not trimmed: a command of blanks runs, and the shell does nothing.
    if (command.empty()) return "error: empty command";
    ProcessRegistry::Result run = registry_.runBash(command, 0, std::move(stop));
    std::string result = "exit_code: " + std::to_string(run.exit);
    if (run.signaled) result += " (terminated by signal)";
    if (!run.out.empty()) result += "\nstdout:\n" + cap(run.out, 4000, run.outDropped);
    if (!run.err.empty()) result += "\nstderr:\n" + cap(run.err, 4000, run.errDropped);
    return result;
}

std::string ToolExecutionManager::readFile(const std::string& path) {
    const std::string failure = "error: could not read file at " + path;
    const std::string expanded = DocumentTools::expand(path);
    // Non-blocking open, so a FIFO without a writer cannot hold the call;
    // only regular files are read, and only a bounded prefix of them.
    FileDescriptor file(::open(expanded.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return failure;

    std::string bytes;
    bytes.resize(std::min<size_t>(size_t(st.st_size), maxReadBytes));
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::read(file.fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure;
        if (n == 0) break;
        got += size_t(n);
    }
    bytes.resize(got);
    size_t unread = size_t(st.st_size) > got ? size_t(st.st_size) - got : 0;
    if (unread > 0) {
        // The prefix may end inside a character; the rest is counted, not read.
        size_t whole = text::completeUTF8PrefixLength(bytes);
        unread += bytes.size() - whole;
        bytes.resize(whole);
    }
    if (!text::isValidUTF8(bytes)) return failure;
    return cap(bytes, 4000, unread);
}

std::string ToolExecutionManager::writeFile(const std::string& path, const std::string& content) {
    const std::string expanded = DocumentTools::expand(path);
    // Written beside the target and renamed over it, so a reader never sees
    // half a file and a failed write leaves the old file as it was.
    const std::string temporary = folderOf(expanded) + "/.vivirov-write-" + UUID::random().lowercaseString();
    auto failure = [&](int code) { return "error: " + std::string(std::strerror(code)) + " (" + expanded + ")"; };
    {
        struct stat existing {};
        const bool replacing = ::stat(expanded.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
        FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file.fd < 0) return failure(errno);
        if (replacing) ::fchmod(file.fd, existing.st_mode & 07777); // keep the file's permissions
        if (!writeAll(file.fd, content)) {
            int code = errno;
            ::unlink(temporary.c_str());
            return failure(code);
        }
    }
    if (::rename(temporary.c_str(), expanded.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary.c_str());
        return failure(code);
    }

    std::string result = "ok: wrote " + std::to_string(content.size()) + " bytes to " + path;
    const std::string lower = text::lowercased(expanded);
    if (text::endsWith(lower, ".html") || text::endsWith(lower, ".htm")) {
        std::optional<bool> reloaded;
        if (backends_.browser) reloaded = backends_.browser->refreshIfShowing(expanded);
        result += reloaded.value_or(false) ? " — live-reloaded the in-app browser (it was showing this page)."
                                           : " — to view it, call browser_navigate with this path.";
    }
    return result;
}

} // namespace vivirov

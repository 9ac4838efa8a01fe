#pragma once
// Runs a check in a forked child (for process-wide limits such as
// RLIMIT_FSIZE or RLIMIT_AS) and returns the text it reported.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace vivirov::test {

inline std::string runInChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        ::close(fds[0]);
        const std::string out = body();
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        _exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " [child died: " + std::to_string(status) + "]";
    return out;
}

} // namespace vivirov::test

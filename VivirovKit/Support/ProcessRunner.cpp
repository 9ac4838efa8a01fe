#include "VivirovKit/Support/ProcessRunner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vivirov {

namespace {

using Clock = std::chrono::steady_clock;

// Closes a descriptor once; -1 means closed.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd.fd = fds[0];
    writeEnd.fd = fds[1];
    return true;
}

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#endif
    return -1;
}

// One captured stream: the first `cap` bytes kept, then (with a tail cap) the
// last `tailCap` bytes; the rest is read and dropped.
struct Sink {
    Fd fd;
    std::string* data = nullptr;
    bool* truncated = nullptr;
    size_t* dropped = nullptr;
    size_t cap = 0;
    size_t tailCap = 0;
    std::string tail;

    // Returns the bytes just read (0 at end of stream, -1 when nothing was ready).
    ssize_t readOnce(char* buffer, size_t size, size_t& nonEmptyLines, bool& lineHasBytes, bool countLines) {
        ssize_t n = ::read(fd.fd, buffer, size);
        if (n < 0) return (errno == EAGAIN || errno == EINTR) ? -1 : 0;
        if (n == 0) return 0;
        size_t room = cap > data->size() ? cap - data->size() : 0;
        size_t keep = std::min(room, static_cast<size_t>(n));
        data->append(buffer, keep);
        if (keep < static_cast<size_t>(n)) {
            *truncated = true;
            if (tailCap > 0) {
                tail.append(buffer + keep, size_t(n) - keep);
                // Trimmed in batches so the copying stays linear in the output.
                if (tail.size() > 2 * tailCap) dropFront(tail.size() - tailCap);
            } else {
                *dropped += size_t(n) - keep;
            }
        }
        if (countLines) {
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == '\n') {
                    if (lineHasBytes) ++nonEmptyLines;
                    lineHasBytes = false;
                } else {
                    lineHasBytes = true;
                }
            }
        }
        return n;
    }

    void dropFront(size_t count) {
        tail.erase(0, count);
        *dropped += count;
    }

    // Joins the kept tail to the head once the stream is done.
    void finish() {
        if (tail.size() > tailCap) dropFront(tail.size() - tailCap);
        data->append(tail);
        tail.clear();
    }
};

std::vector<std::string> buildEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        auto eq = entry.find('=');
        std::string_view key = entry.substr(0, eq);
        bool replaced = std::any_of(extra.begin(), extra.end(), [&](const auto& kv) { return kv.first == key; });
        if (!replaced) env.emplace_back(entry);
    }
    for (const auto& [key, value] : extra) env.push_back(key + "=" + value);
    return env;
}

void killGroup(pid_t pgid) {
    // The group id stays reserved while any member lives, so this never hits
    // an unrelated process even after the leader was reaped.
    ::killpg(pgid, SIGKILL);
}

// Spawns the program into a process group of its own, standard input from
// /dev/null and standard output and error onto the given descriptors (-1:
// this process's own). Returns 0 or the spawn error.
int spawnInOwnGroup(const ProcessRequest& request, int outFd, int errFd, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    // Descriptors this process opened without close-on-exec (databases,
    // sockets, watches) must not leak into the program and what it leaves behind.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (request.workingDirectory)
        posix_spawn_file_actions_addchdir_np(&actions, request.workingDirectory->c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t noSignals, allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(&attr, &noSignals);
    posix_spawnattr_setsigdefault(&attr, &allSignals);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> args;
    args.reserve(request.arguments.size() + 1);
    args.push_back(request.program);
    args.insert(args.end(), request.arguments.begin(), request.arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = buildEnvironment(request.environment);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    int spawnError = posix_spawn(&pid, request.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return spawnError;
}

} // namespace

ProcessRunResult ProcessRunner::run(const ProcessRequest& request) {
    ProcessRunResult result;
    using StartFailure = ProcessRunResult::StartFailure;

    Fd outRead, outWrite, errRead, errWrite, stopRead, stopWrite;
    if ((request.captureStdout && !makePipe(outRead, outWrite)) ||
        (request.captureStderr && !makePipe(errRead, errWrite)) || !makePipe(stopRead, stopWrite)) {
        result.startFailure = StartFailure::pipe;
        result.startErrorCode = errno;
        result.startError = std::strerror(errno);
        return result;
    }

    pid_t pid = -1;
    int spawnError = spawnInOwnGroup(request, request.captureStdout ? outWrite.fd : -1,
                                     request.captureStderr ? errWrite.fd : -1, pid);
    outWrite.reset();
    errWrite.reset();
    if (spawnError != 0) {
        result.startFailure = StartFailure::spawn;
        result.startErrorCode = spawnError;
        result.startError = std::strerror(spawnError);
        return result;
    }
    result.started = true;
    if (request.onStarted) request.onStarted(pid);

    // A stop request wakes the poll below through the stop pipe.
    std::optional<std::stop_callback<std::function<void()>>> onStop;
    if (request.stopToken.stop_possible()) {
        int wakeFd = stopWrite.fd;
        onStop.emplace(request.stopToken, std::function<void()>([wakeFd] {
                           char b = 1;
                           [[maybe_unused]] auto n = ::write(wakeFd, &b, 1);
                       }));
    }

    Sink out, err;
    out.fd.fd = std::exchange(outRead.fd, -1);
    out.data = &result.stdoutData;
    out.truncated = &result.stdoutTruncated;
    out.dropped = &result.stdoutDroppedBytes;
    out.cap = request.maxOutputBytes;
    out.tailCap = request.keepTailBytes;
    err.fd.fd = std::exchange(errRead.fd, -1);
    err.data = &result.stderrData;
    err.truncated = &result.stderrTruncated;
    err.dropped = &result.stderrDroppedBytes;
    err.cap = request.maxOutputBytes;
    err.tailCap = request.keepTailBytes;

    Fd pidfd(openPidfd(pid));
    const auto deadline = Clock::now() + request.timeLimit;
    std::optional<Clock::time_point> drainDeadline;
    bool exited = false;
    int status = 0;
    size_t lines = 0;
    bool lineHasBytes = false;
    std::vector<char> buffer(64 * 1024);

    // The exit is seen without reaping, so the group is killed and the
    // caller told while the zombie still holds the group id.
    auto reap = [&](bool block) {
        siginfo_t info{};
        int flags = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
        int rc;
        while ((rc = ::waitid(P_PID, id_t(pid), &info, flags)) < 0 && errno == EINTR) {
        }
        if (rc != 0 || info.si_pid != pid) return;
        if (request.killGroupOnExit) killGroup(pid); // what the program left behind
        if (request.beforeReap) request.beforeReap(pid);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        exited = true;
        drainDeadline = Clock::now() + request.drainAfterExit;
    };

    // Set when a time limit or stop request sent SIGTERM: SIGKILL follows then.
    std::optional<Clock::time_point> killAt;

    while (true) {
        if (!exited) reap(false);
        if (exited && out.fd.fd < 0 && err.fd.fd < 0) break;
        auto now = Clock::now();
        if (killAt) {
            if (exited || now >= *killAt) break;
        } else {
            const bool pastDeadline = !request.noTimeLimit && now >= deadline;
            if (request.stopToken.stop_requested()) result.cancelled = true;
            else if (pastDeadline) result.timedOut = !exited;
            if (result.cancelled || pastDeadline) {
                if (exited || request.terminateGrace.count() <= 0) break;
                ::killpg(pid, SIGTERM);
                killAt = now + request.terminateGrace;
                continue;
            }
        }
        // Pipes still held by what the program left running are read no longer.
        if (exited && !request.killGroupOnExit && now >= *drainDeadline) break;
        std::vector<pollfd> fds;
        if (out.fd.fd >= 0) fds.push_back({out.fd.fd, POLLIN, 0});
        if (err.fd.fd >= 0) fds.push_back({err.fd.fd, POLLIN, 0});
        if (pidfd.fd >= 0 && !exited) fds.push_back({pidfd.fd, POLLIN, 0});
        if (!killAt) fds.push_back({stopRead.fd, POLLIN, 0});
        long long waitMs = 60000;
        auto until = [&](Clock::time_point t) {
            waitMs = std::min<long long>(waitMs, std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1);
        };
        if (killAt) until(*killAt);
        else if (!request.noTimeLimit) until(deadline);
        if (exited && !request.killGroupOnExit) until(*drainDeadline);
        // Without a pidfd the exit is noticed by polling waitid.
        if (pidfd.fd < 0 && !exited) waitMs = std::min<long long>(waitMs, 10);
        int ready = ::poll(fds.data(), fds.size(), int(waitMs));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        for (const pollfd& p : fds) {
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Sink* sink = p.fd == out.fd.fd ? &out : p.fd == err.fd.fd ? &err : nullptr;
            if (!sink) continue;
            ssize_t n = sink->readOnce(buffer.data(), buffer.size(), lines, lineHasBytes,
                                       sink == &out && request.stopAfterStdoutLines > 0);
            if (n == 0) sink->fd.reset();
        }
        if (request.stopAfterStdoutLines > 0 && lines >= request.stopAfterStdoutLines) {
            result.stoppedEarly = true;
            break;
        }
    }

    if (!exited) {
        killGroup(pid);
        reap(true);
    }
    // Collect what is already in the pipes without waiting for an end of
    // stream that a process outside the group could hold back forever.
    for (Sink* sink : {&out, &err}) {
        if (sink->fd.fd >= 0) {
            ::fcntl(sink->fd.fd, F_SETFL, ::fcntl(sink->fd.fd, F_GETFL) | O_NONBLOCK);
            size_t ignoredLines = 0;
            bool ignoredFlag = false;
            while (sink->readOnce(buffer.data(), buffer.size(), ignoredLines, ignoredFlag, false) > 0) {
            }
            sink->fd.reset();
        }
        if (sink->data) sink->finish();
    }

    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signaled = true;
        result.exitStatus = WTERMSIG(status);
    }
    return result;
}

ProcessStart ProcessRunner::start(const ProcessRequest& request, int outputFd) {
    ProcessStart result;
    pid_t pid = -1;
    int spawnError = spawnInOwnGroup(request, outputFd, outputFd, pid);
    if (spawnError != 0) {
        result.startError = std::strerror(spawnError);
        return result;
    }
    result.started = true;
    result.process = std::make_shared<RunningProcess>(pid);
    // The waiter lives as long as the child; it holds the record, not the caller.
    std::thread([process = result.process] {
        int status = 0;
        while (::waitpid(process->pid(), &status, 0) < 0) {
            if (errno != EINTR) return;
        }
        process->noteExit(status);
    }).detach();
    return result;
}

bool RunningProcess::isRunning() const {
    std::lock_guard lock(mutex_);
    return !exited_;
}

std::optional<int> RunningProcess::exitStatus() const {
    std::lock_guard lock(mutex_);
    if (!exited_) return std::nullopt;
    return WIFSIGNALED(status_) ? WTERMSIG(status_) : WEXITSTATUS(status_);
}

bool RunningProcess::signaled() const {
    std::lock_guard lock(mutex_);
    return exited_ && WIFSIGNALED(status_);
}

void RunningProcess::noteExit(int waitStatus) {
    std::lock_guard lock(mutex_);
    exited_ = true;
    status_ = waitStatus;
}

// ---- program paths ----

namespace {
std::mutex& tableMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::string>& overrides() {
    static std::map<std::string, std::string> table;
    return table;
}
const std::map<std::string, std::string, std::less<>>& defaults() {
    static const std::map<std::string, std::string, std::less<>> table = {
        {"find", "/usr/bin/find"},         {"grep", "/usr/bin/grep"},
        {"rg", "/usr/bin/rg"},             {"pdftotext", "/usr/bin/pdftotext"},
        {"pandoc", "/usr/bin/pandoc"},     {"python3", "/usr/bin/python3"},
        {"git", "/usr/bin/git"},           {"zsh", "/bin/zsh"},
        {"lsof", "/usr/bin/lsof"},         {"ps", "/usr/bin/ps"},
    };
    return table;
}
} // namespace

std::string ProgramPaths::path(std::string_view name) {
    if (auto o = overrideFor(std::string(name))) return *o;
    auto it = defaults().find(name);
    return it == defaults().end() ? std::string() : it->second;
}

std::optional<std::string> ProgramPaths::overrideFor(const std::string& name) {
    std::lock_guard lock(tableMutex());
    auto it = overrides().find(name);
    if (it == overrides().end()) return std::nullopt;
    return it->second;
}

void ProgramPaths::setOverride(const std::string& name, const std::string& path) {
    std::lock_guard lock(tableMutex());
    overrides()[name] = path;
}

void ProgramPaths::clearOverride(const std::string& name) {
    std::lock_guard lock(tableMutex());
    overrides().erase(name);
}

ProgramPaths::ScopedOverride::ScopedOverride(std::string name, const std::string& path)
    : name_(std::move(name)), previous_(overrideFor(name_)) {
    setOverride(name_, path);
}

ProgramPaths::ScopedOverride::~ScopedOverride() {
    if (previous_) setOverride(name_, *previous_);
    else clearOverride(name_);
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace vivirov

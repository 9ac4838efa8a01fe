#pragma once
// The kit's one way to run a child program: posix_spawn into a process group of
// its own, both output pipes drained together with poll, output bounded while
// it is read, and a time limit after which the whole group is killed.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vivirov {

struct ProcessRequest {
    std::string program;                 // absolute path of the executable
    std::vector<std::string> arguments;  // argv[1...]; argv[0] is the program path
    // A stream that is not captured goes where this process's own goes.
    bool captureStdout = true;
    bool captureStderr = true;
    // Always enforced: past it the process group is killed.
    std::chrono::milliseconds timeLimit{std::chrono::seconds(120)};
    // How a time limit or stop request ends the group: 0 sends SIGKILL at
    // once; otherwise SIGTERM first, and SIGKILL when the program is still
    // running this long after it (output keeps being read meanwhile).
    std::chrono::milliseconds terminateGrace{0};
    // Bytes kept per captured stream; the rest is read and dropped so the
    // child never blocks on a full pipe.
    size_t maxOutputBytes = 16u << 20;
    // When > 0, reading stops (and the group is killed) once this many
    // non-empty lines have arrived on standard output.
    size_t stopAfterStdoutLines = 0;
    // Variables added to (or replacing those of) this process's environment.
    std::vector<std::pair<std::string, std::string>> environment;
    std::optional<std::string> workingDirectory;
    std::stop_token stopToken;           // a stop request kills the group

    // When true, timeLimit is ignored: the program runs until it ends or is stopped.
    bool noTimeLimit = false;
    // When false, what the program leaves running in its group survives its
    // exit; the pipes it still holds are read for up to drainAfterExit more,
    // then whatever they hold is collected and they are closed.
    bool killGroupOnExit = true;
    std::chrono::milliseconds drainAfterExit{0};
    // When > 0, the last this-many bytes of each stream are kept besides the
    // first maxOutputBytes; the data is then head + tail and the bytes
    // dropped between them are counted in the result.
    size_t keepTailBytes = 0;
    // Called with the new group id (the child's pid) right after the spawn.
    std::function<void(int pgid)> onStarted;
    // Called once the program has ended but before it is reaped: until this
    // returns the group id cannot be reused by another process.
    std::function<void(int pgid)> beforeReap;
};

struct ProcessRunResult {
    bool started = false;
    std::string startError;      // the system's description when not started
    int exitStatus = -1;         // exit code, or the signal number when signaled
    bool signaled = false;
    bool timedOut = false;
    bool cancelled = false;
    bool stoppedEarly = false;   // stopAfterStdoutLines was reached
    std::string stdoutData;
    std::string stderrData;
    bool stdoutTruncated = false;
    bool stderrTruncated = false;
    // Bytes dropped from the middle of a stream (keepTailBytes > 0).
    size_t stdoutDroppedBytes = 0;
    size_t stderrDroppedBytes = 0;
    // Why the program did not start, with the system's error code.
    enum class StartFailure { none, pipe, spawn };
    StartFailure startFailure = StartFailure::none;
    int startErrorCode = 0;

    bool succeeded() const { return started && !signaled && exitStatus == 0 && !timedOut && !cancelled; }
};

// A program started by ProcessRunner::start and left running. A background
// waiter reaps it when it exits, so it never lingers as a zombie; dropping
// the last reference neither stops nor forgets the child.
class RunningProcess {
public:
    explicit RunningProcess(int pid) : pid_(pid) {}
    int pid() const { return pid_; }
    bool isRunning() const;
    // The exit code, or the signal number when `signaled`; none while running.
    std::optional<int> exitStatus() const;
    bool signaled() const;

private:
    friend class ProcessRunner;
    void noteExit(int waitStatus);

    const int pid_;
    mutable std::mutex mutex_;
    bool exited_ = false;
    int status_ = 0;
};

struct ProcessStart {
    bool started = false;
    std::string startError; // the system's description when not started
    std::shared_ptr<RunningProcess> process;
};

class ProcessRunner {
public:
    // Runs the program to its end (or its time limit, stop request or line
    // limit). Standard input is /dev/null and no other descriptor of this
    // process is inherited. When the program ends, whatever it left running in
    // its process group is killed (unless killGroupOnExit is false).
    static ProcessRunResult run(const ProcessRequest& request);

    // Starts the program in a process group of its own and returns without
    // waiting: the program outlives the call until something signals it.
    // Uses the request's program, arguments, environment and working
    // directory; standard input is /dev/null, standard output and error go
    // to `outputFd` (this process's own when it is -1).
    static ProcessStart start(const ProcessRequest& request, int outputFd = -1);
};

// Where the kit finds the external programs it runs, by short name ("find",
// "grep", "rg", "pdftotext", "pandoc", "python3", ...). Tests put fake
// programs in place with an override.
class ProgramPaths {
public:
    // The override when one is set, else the built-in default, else "".
    static std::string path(std::string_view name);
    static void setOverride(const std::string& name, const std::string& path);
    static void clearOverride(const std::string& name);

    // Sets an override for its lifetime and restores the previous state after.
    class ScopedOverride {
    public:
        ScopedOverride(std::string name, const std::string& path);
        ~ScopedOverride();
        ScopedOverride(const ScopedOverride&) = delete;
        ScopedOverride& operator=(const ScopedOverride&) = delete;

    private:
        std::string name_;
        std::optional<std::string> previous_;
    };

private:
    friend class ScopedOverride;
    static std::optional<std::string> overrideFor(const std::string& name);
};

// True when `path` names an existing regular file this process may execute.
bool isExecutableFile(const std::string& path);

} // namespace vivirov

#include "VivirovKit/Watch/KqueueFileWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Paths.h"

namespace vivirov {

namespace {

constexpr uint32_t kWriteEvents = IN_MODIFY;
constexpr uint32_t kGoneEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
// Polled while a re-arm is due, so a test clock's advance is seen too.
constexpr int kRearmPollMillis = 10;

} // namespace

KqueueFileWatcher::KqueueFileWatcher() {
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    reader_ = std::thread([this] { run(); });
}

KqueueFileWatcher::~KqueueFileWatcher() {
    {
        std::lock_guard guard(lock_);
        closing_ = true;
        disarm();
        rearm_.reset();
    }
    wake();
    if (reader_.joinable()) {
        if (reader_.get_id() == std::this_thread::get_id()) reader_.detach();
        else reader_.join();
    }
    if (inotifyFd_ >= 0) close(inotifyFd_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

std::string KqueueFileWatcher::standardisedPath(const std::string& path) {
    std::string expanded = path;
    if (expanded == "~" || expanded.rfind("~/", 0) == 0) expanded = paths::home() + expanded.substr(1);
    std::string normal = std::filesystem::path(expanded).lexically_normal().string();
    if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

void KqueueFileWatcher::watch(const std::string& path, std::function<void()> onChange) {
    std::lock_guard guard(lock_);
    disarm();
    rearm_.reset();
    arm(standardisedPath(path), std::move(onChange));
}

void KqueueFileWatcher::stop() {
    std::lock_guard guard(lock_);
    disarm();
    rearm_.reset();
}

bool KqueueFileWatcher::isWatching() const {
    std::lock_guard guard(lock_);
    return wd_ >= 0;
}

bool KqueueFileWatcher::rearmPending() const {
    std::lock_guard guard(lock_);
    return rearm_.has_value();
}

std::string KqueueFileWatcher::watchedPath() const {
    std::lock_guard guard(lock_);
    return wd_ >= 0 ? path_ : std::string();
}

void KqueueFileWatcher::arm(const std::string& path, std::function<void()> onChange) {
    if (closing_ || inotifyFd_ < 0) return;
    // Only an existing regular file (or what a link leads to) is followed.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) || std::filesystem::is_directory(path, ec)) return;
    int wd = inotify_add_watch(inotifyFd_, path.c_str(), kWriteEvents | IN_DELETE_SELF | IN_MOVE_SELF);
    if (wd < 0) return;
    wd_ = wd;
    path_ = path;
    onChange_ = std::move(onChange);
}

void KqueueFileWatcher::disarm() {
    if (wd_ >= 0) inotify_rm_watch(inotifyFd_, wd_);
    wd_ = -1;
    path_.clear();
    onChange_ = nullptr;
}

void KqueueFileWatcher::wake() {
    if (wakeFd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
}

void KqueueFileWatcher::run() {
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard guard(lock_);
            if (closing_) return;
            if (rearm_) timeout = kRearmPollMillis;
        }
        pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
        }

        std::function<void()> call;
        {
            std::lock_guard guard(lock_);
            if (closing_) return;
            uint32_t mask = 0;
            if (fds[0].revents & POLLIN) {
                for (;;) {
                    ssize_t length = read(inotifyFd_, buffer, sizeof buffer);
                    if (length <= 0) break;
                    for (ssize_t at = 0; at < length;) {
                        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                        if (event->wd == wd_ && wd_ >= 0) mask |= event->mask;
                        at += ssize_t(sizeof(inotify_event) + event->len);
                    }
                }
            }
            if (mask & kGoneEvents) {
                // Deleted or renamed: watch the path again shortly, when a
                // file is back there (a save by rename-over).
                call = onChange_;
                rearm_ = Rearm{Clock::current().uptimeNanos() + rearmDelayNanos, path_, onChange_};
                disarm();
            } else if (mask & kWriteEvents) {
                call = onChange_;
            } else if (rearm_ && Clock::current().uptimeNanos() >= rearm_->dueNanos) {
                Rearm due = std::move(*rearm_);
                rearm_.reset();
                arm(due.path, std::move(due.onChange));
            }
        }
        if (call) call();
    }
}

} // namespace vivirov

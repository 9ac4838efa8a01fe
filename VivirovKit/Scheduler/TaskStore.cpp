#include "VivirovKit/Scheduler/TaskStore.h"

#include <cstring>

#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "tkg.h"

namespace vivirov {
namespace {

constexpr int32_t errorBytes = 512;
constexpr int32_t maxRows = 4096;
constexpr int32_t titleBytes = 512;
constexpr int32_t criteriaBytes = 1024;

int64_t nowMicros() { return int64_t(Clock::current().wallSeconds() * 1e6); }

std::string untilNul(const char* buf, size_t size) {
    return text::decodeUTF8Lossy(std::string_view(buf, strnlen(buf, size)));
}

} // namespace

std::optional<TaskStatus> taskStatusFromRaw(uint32_t raw) {
    if (raw > uint32_t(TaskStatus::failed)) return std::nullopt;
    return TaskStatus(raw);
}

std::string_view title(TaskStatus status) {
    switch (status) {
    case TaskStatus::backlog: return "Backlog";
    case TaskStatus::todo: return "To Do";
    case TaskStatus::verifying: return "Verifying";
    case TaskStatus::done: return "Done";
    case TaskStatus::failed: return "Failed";
    }
    return "Backlog";
}

std::string TaskStore::defaultPath() {
    const std::string folder = paths::appData();
    paths::ensureDirectory(folder);
    return folder + "/tasks.tkg";
}

std::unique_ptr<TaskStore> TaskStore::open(const std::string& path) {
    char err[errorBytes] = {};
    tkg_task_store* handle = tkg_tasks_open(path.c_str(), err, errorBytes);
    if (!handle) {
        logLine("[taskstore] open failed: " + untilNul(err, sizeof err));
        return nullptr;
    }
    return std::unique_ptr<TaskStore>(new TaskStore(handle, path));
}

TaskStore::TaskStore(tkg_task_store* handle, std::string path) : handle_(handle), path_(std::move(path)) {}

TaskStore::~TaskStore() { tkg_tasks_close(handle_); }

std::optional<uint64_t> TaskStore::add(const std::string& title, const std::string& criteria) {
    char err[errorBytes] = {};
    const int64_t id = tkg_tasks_add(handle_, title.c_str(), criteria.c_str(), nowMicros(), err, errorBytes);
    if (id < 0) {
        logLine("[taskstore] add failed: " + untilNul(err, sizeof err));
        return std::nullopt;
    }
    return uint64_t(id);
}

bool TaskStore::setStatus(uint64_t id, TaskStatus status) {
    return tkg_tasks_set_status(handle_, id, uint32_t(status), nowMicros()) == 0;
}

bool TaskStore::bumpAttempt(uint64_t id) {
    // The same wall-clock microseconds as the other writes, so lastRun is a
    // time that can be shown and compared.
    return tkg_tasks_bump_attempt(handle_, id, nowMicros()) == 0;
}

int64_t TaskStore::count() const { return int64_t(tkg_tasks_count(handle_)); }

std::vector<TaskRow> TaskStore::list() const {
    std::vector<tkg_task_row> raw(maxRows);
    const int32_t n = tkg_tasks_list(handle_, raw.data(), maxRows);
    std::vector<TaskRow> rows;
    if (n <= 0) return rows;
    rows.reserve(size_t(n));
    char titleBuf[titleBytes];
    char criteriaBuf[criteriaBytes];
    for (int32_t i = 0; i < n; ++i) {
        std::memset(titleBuf, 0, sizeof titleBuf);
        std::memset(criteriaBuf, 0, sizeof criteriaBuf);
        tkg_task_title(handle_, raw[i].id, titleBuf, titleBytes);
        tkg_task_criteria_cmd(handle_, raw[i].id, criteriaBuf, criteriaBytes);
        TaskRow row;
        row.id = raw[i].id;
        row.status = taskStatusFromRaw(raw[i].status).value_or(TaskStatus::backlog);
        row.attempts = raw[i].attempts;
        row.lastRun = raw[i].last_run;
        row.criteriaId = raw[i].criteria_id;
        row.title = untilNul(titleBuf, sizeof titleBuf);
        row.criteria = untilNul(criteriaBuf, sizeof criteriaBuf);
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace vivirov

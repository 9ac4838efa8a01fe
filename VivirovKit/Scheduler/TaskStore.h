#pragma once
// The agent task list: tasks with a title, a shell verification command, a
// status and an attempt count, kept in the engine's task graph file. No
// lock of its own: the engine's store orders concurrent calls.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct tkg_task_store;

namespace vivirov {

enum class TaskStatus : uint32_t {
    backlog = 0,
    todo = 1,
    verifying = 2,
    done = 3,
    failed = 4,
};

inline constexpr TaskStatus allTaskStatuses[] = {TaskStatus::backlog, TaskStatus::todo, TaskStatus::verifying,
                                                 TaskStatus::done, TaskStatus::failed};

// None for a raw value of 5 or more.
std::optional<TaskStatus> taskStatusFromRaw(uint32_t raw);
// "Backlog", "To Do", "Verifying", "Done", "Failed".
std::string_view title(TaskStatus status);

struct TaskRow {
    uint64_t id = 0;
    TaskStatus status = TaskStatus::backlog;
    uint32_t attempts = 0;
    int64_t lastRun = 0; // wall-clock microseconds since 1970 of the latest attempt; 0 before
    uint64_t criteriaId = 0;
    std::string title;
    std::string criteria;

    bool operator==(const TaskRow&) const = default;
};

class TaskStore {
public:
    // "<data>/com.dudive.vivirov/tasks.tkg"; creates the folder.
    static std::string defaultPath();
    // Opens or creates the store file; null (after an "[taskstore] open
    // failed: " line on standard error) when that fails.
    static std::unique_ptr<TaskStore> open(const std::string& path);
    ~TaskStore();
    TaskStore(const TaskStore&) = delete;
    TaskStore& operator=(const TaskStore&) = delete;

    const std::string& path() const { return path_; }
    // The new task's id (status todo), or none after an "[taskstore] add
    // failed: " line.
    std::optional<uint64_t> add(const std::string& title, const std::string& criteria);
    // False when id is not a task.
    bool setStatus(uint64_t id, TaskStatus status);
    bool bumpAttempt(uint64_t id);
    int64_t count() const;
    // All tasks in the order they were added, at most 4096.
    std::vector<TaskRow> list() const;

private:
    TaskStore(tkg_task_store* handle, std::string path);
    tkg_task_store* handle_;
    std::string path_;
};

} // namespace vivirov

// The task list as graph nodes: each task is a task node, a criteria node
// holding its verification command, and an edge between them. Writers hold
// the store's lock exclusively, readers and flushes hold it shared.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "tkg.h"
#include "tkg_error.h"
#include "tkg_store.h"

struct tkg_task_store {
    tkg::Store store;
};

namespace {

using tkg::Node;
using tkg::TaskFields;

TaskFields* taskFields(Node& n) { return reinterpret_cast<TaskFields*>(n.reserved); }

// After a change: write back asynchronously, then move the modification
// time so that file watchers notice (mapped writes alone do not).
void published(tkg_task_store* s) {
    s->store.flushAsync();
    s->store.touch();
}

int32_t copyText(const char* text, uint32_t length, char* buf, int32_t size) {
    if (!buf || size < 1) return -1;
    const uint32_t n = std::min<uint32_t>(length, uint32_t(size) - 1);
    std::memcpy(buf, text, n);
    buf[n] = 0;
    return int32_t(n);
}

int32_t badRead(char* buf, int32_t size) {
    if (buf && size >= 1) buf[0] = 0;
    return -1;
}

// Runs a read under the store's lock held shared and the file lock, after
// adopting any growth made through another handle on the same file (which
// needs the store's lock exclusively, so only then is it taken that way).
template <typename Read>
auto readLocked(tkg_task_store* s, Read read, decltype(read()) failed) try {
    {
        std::shared_lock guard(s->store.lock);
        tkg::FileLock file(s->store.fd, false);
        if (!s->store.stale()) return read();
    }
    std::unique_lock guard(s->store.lock);
    tkg::FileLock file(s->store.fd, false);
    std::string ignored;
    if (!s->store.adoptGrowth_unlocked(ignored)) return failed;
    return read();
} catch (const std::exception&) {
    return failed; // nothing may throw across the flat functions
}

template <typename Change>
int32_t changeTask(tkg_task_store* s, uint64_t id, Change change) try {
    if (!s) return -1;
    {
        std::unique_lock guard(s->store.lock);
        tkg::FileLock file(s->store.fd, true);
        std::string ignored;
        if (!s->store.adoptGrowth_unlocked(ignored)) return -1;
        if (id >= s->store.header()->node_count) return -1;
        Node& n = s->store.nodes()[id];
        if (n.node_type != tkg::NODE_TASK) return -1;
        change(n);
    }
    published(s);
    return 0;
} catch (const std::exception&) {
    return -1;
}

} // namespace

extern "C" {

tkg_task_store* tkg_tasks_open(const char* path, char* err, int32_t err_len) {
    if (!path) {
        tkg::copyError("null path", err, err_len);
        return nullptr;
    }
    try {
        auto s = std::make_unique<tkg_task_store>();
        std::string message;
        struct stat st {};
        bool ok = false;
        if (stat(path, &st) != 0 || st.st_size == 0) {
            ok = s->store.create(path, tkg::Capacity{4096, 8192, 1048576, 0}, message);
            if (ok) s->store.flushAsync();
        } else {
            ok = s->store.open(path, message);
        }
        if (!ok) {
            tkg::copyError(message, err, err_len);
            return nullptr;
        }
        return s.release();
    } catch (const std::exception& e) {
        tkg::copyError(e.what(), err, err_len);
        return nullptr;
    }
}

int64_t tkg_tasks_add(tkg_task_store* s, const char* title, const char* criteria, int64_t time, char* err,
                      int32_t err_len) {
    if (!s || !title || !criteria) {
        tkg::copyError("null arg", err, err_len);
        return -1;
    }
    std::string message;
    int64_t id = -1;
    try {
        id = s->store.addTaskNode(title, criteria, time, message);
    } catch (const std::exception& e) {
        message = e.what();
    }
    if (id < 0) {
        tkg::copyError(message, err, err_len);
        return -1;
    }
    published(s);
    return id;
}

int32_t tkg_tasks_set_status(tkg_task_store* s, uint64_t id, uint32_t status, int64_t time) {
    return changeTask(s, id, [&](Node& n) {
        taskFields(n)->status = status;
        n.modified_at = time;
    });
}

int32_t tkg_tasks_bump_attempt(tkg_task_store* s, uint64_t id, int64_t time) {
    return changeTask(s, id, [&](Node& n) {
        taskFields(n)->attempts += 1;
        taskFields(n)->last_run = time;
    });
}

int32_t tkg_tasks_list(tkg_task_store* s, tkg_task_row* rows, int32_t capacity) {
    if (!s || !rows || capacity < 1) return 0;
    return readLocked(
        s,
        [&] {
            const uint32_t n = s->store.header()->node_count;
            Node* nodes = s->store.nodes();
            int32_t written = 0;
            for (uint32_t id = 0; id < n && written < capacity; ++id) {
                if (nodes[id].node_type != tkg::NODE_TASK) continue;
                rows[written].id = id;
                std::memcpy(&rows[written].status, nodes[id].reserved, sizeof(TaskFields));
                ++written;
            }
            return written;
        },
        0);
}

int32_t tkg_task_title(tkg_task_store* s, uint64_t id, char* buf, int32_t size) {
    if (!s) return badRead(buf, size);
    return readLocked(
        s,
        [&] {
            if (id >= s->store.header()->node_count) return badRead(buf, size);
            const Node& n = s->store.nodes()[id];
            return copyText(s->store.strings() + n.title_offset, n.title_length, buf, size);
        },
        badRead(buf, size));
}

int32_t tkg_task_criteria_cmd(tkg_task_store* s, uint64_t task_id, char* buf, int32_t size) {
    if (!s) return badRead(buf, size);
    return readLocked(
        s,
        [&] {
            const uint64_t count = s->store.header()->node_count;
            if (task_id >= count) return badRead(buf, size);
            Node* nodes = s->store.nodes();
            const uint64_t criteria = taskFields(nodes[task_id])->criteria_id;
            if (nodes[task_id].node_type != tkg::NODE_TASK || criteria >= count) return badRead(buf, size);
            const Node& c = nodes[criteria];
            return copyText(s->store.strings() + c.content_offset, c.content_length, buf, size);
        },
        badRead(buf, size));
}

uint32_t tkg_tasks_count(tkg_task_store* s) {
    if (!s) return 0;
    return readLocked(
        s,
        [&] {
            const uint32_t n = s->store.header()->node_count;
            const Node* nodes = s->store.nodes();
            uint32_t tasks = 0;
            for (uint32_t id = 0; id < n; ++id) tasks += nodes[id].node_type == tkg::NODE_TASK;
            return tasks;
        },
        0u);
}

void tkg_tasks_close(tkg_task_store* s) { delete s; }

} // extern "C"

// Opening any file as a graph, and querying what opens, must never read
// outside the mapping. The first byte picks the form of the rest: odd means
// the file's bytes as they are; even means a header (128 bytes) and the
// bytes from page 1 on, with total_size set to the file's length so that
// mutations reach the checks behind it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tkg.h"

namespace {

std::vector<uint8_t> fileBytes(const uint8_t* data, size_t size) {
    if (size == 0) return {};
    if (data[0] & 1) return {data + 1, data + size};
    std::vector<uint8_t> file(4096, 0);
    const size_t header = std::min<size_t>(size - 1, 128);
    std::memcpy(file.data(), data + 1, header);
    file.insert(file.end(), data + 1 + header, data + size);
    const uint64_t total = file.size();
    std::memcpy(file.data() + 112, &total, sizeof total);
    return file;
}

void checkTitle(const tkg_graph* g, const char* title) {
    if (!title) return;
    const auto* base = static_cast<const char*>(tkg_map_base(g));
    const size_t room = tkg_map_size(g) - size_t(title - base);
    if (title < base || strnlen(title, room) == room) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> file = fileBytes(data, size);
    const int fd = memfd_create("tkg", 0);
    if (fd < 0) return 0;
    if (!file.empty() && write(fd, file.data(), file.size()) != ssize_t(file.size())) {
        close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    char err[128];
    if (tkg_graph* g = tkg_open(path.c_str(), err, sizeof err)) {
        const uint32_t n = tkg_node_count(g);
        for (uint32_t i = 0; i < n && i < 4096; ++i) checkTitle(g, tkg_node_title(g, i));
        uint32_t ids[32];
        char titles[256];
        const std::string query(reinterpret_cast<const char*>(data), std::min<size_t>(size, 24));
        for (const char* text : {"alpha", "a", query.c_str()}) {
            tkg_find_by_title(g, text);
            const int32_t found = tkg_related_ids(g, text, 2, 24, ids, 32);
            for (int32_t i = 0; i < found; ++i)
                if (ids[i] >= n) __builtin_trap();
            tkg_related_titles(g, text, 2, 0, titles, sizeof titles);
        }
        tkg_close(g);
    }
    if (!file.empty()) {
        if (tkg_task_store* s = tkg_tasks_open(path.c_str(), err, sizeof err)) {
            tkg_task_row rows[64];
            const int32_t listed = tkg_tasks_list(s, rows, 64);
            char buf[64];
            for (int32_t i = 0; i < listed; ++i) {
                tkg_task_title(s, rows[i].id, buf, sizeof buf);
                tkg_task_criteria_cmd(s, rows[i].id, buf, sizeof buf);
            }
            tkg_tasks_add(s, "fuzz", "true", 0, err, sizeof err);
            tkg_tasks_count(s);
            tkg_tasks_close(s);
        }
    }
    close(fd);
    return 0;
}

#include "tkg_import.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tkg.h"
#include "tkg_error.h"
#include "tkg_store.h"

namespace tkg {
namespace detail {
namespace {

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The first closer at or after a position, remembered while it still lies
// ahead, so a note full of unclosed openers is scanned in linear time.
// Positions asked for only grow.
struct Closer {
    std::string_view body;
    std::string_view token;
    bool searched = false;
    size_t at = std::string_view::npos;

    size_t from(size_t pos) {
        if (!searched || (at != std::string_view::npos && at < pos)) {
            at = body.find(token, pos);
            searched = true;
        }
        return at;
    }
};

std::string_view lastComponent(std::string_view s) {
    const size_t slash = s.find_last_of("/\\");
    return slash == std::string_view::npos ? s : s.substr(slash + 1);
}

} // namespace

std::string stem_key(std::string_view s) {
    s = lastComponent(s);
    const size_t dot = s.rfind('.');
    if (dot != std::string_view::npos) s = s.substr(0, dot);
    return lowered(s);
}

std::string name_key(std::string_view s) {
    std::string key = lowered(lastComponent(s));
    if (key.size() >= 3 && key.compare(key.size() - 3, 3, ".md") == 0) key.resize(key.size() - 3);
    return key;
}

bool ends_with_attachment(std::string_view s) {
    static constexpr std::string_view ext[] = {".png", ".jpg", ".jpeg", ".gif", ".svg", ".pdf",
                                               ".webp", ".mp4", ".mov", ".mp3", ".excalidraw"};
    for (std::string_view e : ext)
        if (s.size() >= e.size() && s.substr(s.size() - e.size()) == e) return true;
    return false;
}

std::string_view trim(std::string_view s) {
    static constexpr std::string_view ws = " \t\n\v\f\r";
    const size_t first = s.find_first_not_of(ws);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

void scan_links(std::string_view body, const ImportOptions& options, ImportStats& stats,
                const std::function<void(std::string_view, bool)>& sink) {
    const size_t limit = size_t(std::min<uint64_t>(options.scan_limit, body.size()));
    if (limit < 2) return;
    constexpr size_t npos = std::string_view::npos;
    Closer wikiCloser{body, "]]"};
    Closer mdCloser{body, ")"};
    // Next '[' and ']' at or after p, each found with memchr and kept until
    // passed: far faster than testing every byte against both.
    size_t nextOpen = 0, nextClose = 0;
    bool haveOpen = false, haveClose = false;
    auto findByte = [&](char c, size_t from) {
        const void* hit = std::memchr(body.data() + from, c, limit - from);
        return hit ? size_t(static_cast<const char*>(hit) - body.data()) : limit;
    };
    size_t p = 0;
    while (p + 1 < limit) {
        if (!haveOpen || nextOpen < p) nextOpen = findByte('[', p), haveOpen = true;
        if (!haveClose || nextClose < p) nextClose = findByte(']', p), haveClose = true;
        p = std::min(nextOpen, nextClose);
        if (p + 1 >= limit) break;
        const char a = body[p], b = body[p + 1];
        if (a == '[' && b == '[') {
            const size_t from = p + 2;
            const size_t close = wikiCloser.from(from);
            if (close == npos || close > limit) {
                p += 2;
                continue;
            }
            std::string_view inner = body.substr(from, close - from);
            inner = trim(inner.substr(0, std::min(inner.find_first_of("#|"), inner.size())));
            if (!inner.empty()) {
                ++stats.wiki_links;
                if (ends_with_attachment(lowered(inner)))
                    ++stats.attachment_links;
                else
                    sink(inner, true);
            }
            p = close + 2;
            continue;
        }
        if (a == ']' && b == '(' && options.follow_markdown_links) {
            const size_t from = p + 2;
            const size_t close = mdCloser.from(from);
            if (close == npos || close > limit) {
                p += 2;
                continue;
            }
            const std::string_view target = trim(body.substr(from, close - from));
            p = close + 1;
            if (target.empty() || target.find("://") != npos || target.front() == '#') continue;
            if (target.size() >= 3 && lowered(target.substr(target.size() - 3)) == ".md") {
                ++stats.markdown_links;
                sink(target, false);
            }
            continue;
        }
        ++p;
    }
}

} // namespace detail

namespace {

// A note as the import keeps it: only what goes into the file and the link
// targets found in it, so the vault's text is never held whole.
struct Note {
    std::string title;
    std::string excerpt;
    size_t firstLink = 0; // into Links::spans
    size_t linkCount = 0;
};

// Link targets of every note, back to back.
struct Links {
    std::string bytes;
    std::vector<std::pair<size_t, size_t>> spans;
    std::string_view at(size_t i) const { return std::string_view(bytes).substr(spans[i].first, spans[i].second); }
};

bool readWhole(const std::filesystem::path& path, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(size_t(st.st_size));
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}

bool isMarkdown(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".md";
}

using KeyIndex = std::unordered_map<std::string, uint32_t>;

// A link names the note whose exact name it gives; failing that, the note
// whose name it gives once a trailing extension is dropped.
const uint32_t* resolve(const KeyIndex& index, std::string_view target) {
    auto it = index.find(detail::name_key(target));
    if (it == index.end()) it = index.find(detail::stem_key(target));
    return it == index.end() ? nullptr : &it->second;
}

std::string temporaryPath(const std::string& out_path) {
    static std::atomic<uint64_t> counter{0};
    return out_path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

bool build(const std::vector<Note>& notes, const Links& links, KeyIndex& index, const std::string& path,
           const ImportOptions& options, ImportStats& stats, std::string& err) {
    // Sizing: the file is created once at its final size.
    std::unordered_set<std::string> unresolved;
    if (options.create_stubs)
        for (size_t i = 0; i < links.spans.size(); ++i)
            if (!resolve(index, links.at(i))) unresolved.insert(detail::stem_key(links.at(i)));
    Capacity capacity;
    capacity.nodes = notes.size() + unresolved.size() + 16;
    capacity.edges = links.spans.size() + 16;
    capacity.string_bytes = 4096;
    for (const Note& note : notes) capacity.string_bytes += note.title.size() + note.excerpt.size() + 2;
    for (const std::string& key : unresolved) capacity.string_bytes += key.size() + 1;

    Store store;
    if (!store.create(path, capacity, err)) return false;
    for (const Note& note : notes) {
        std::unique_lock guard(store.lock);
        if (store.addNode_unlocked(note.title, note.excerpt, NODE_NOTE, 0, err) < 0) return false;
    }
    stats.nodes = store.header()->node_count;

    std::unordered_set<uint32_t> linked;
    bool stubFailed = false;
    for (uint32_t id = 0; id < notes.size() && !stubFailed; ++id) {
        linked.clear();
        for (size_t l = notes[id].firstLink; l < notes[id].firstLink + notes[id].linkCount && !stubFailed; ++l) {
            const std::string_view target = links.at(l);
            uint32_t to = 0;
            if (const uint32_t* found = resolve(index, target)) {
                to = *found;
            } else if (!options.create_stubs) {
                ++stats.unresolved_links;
                continue;
            } else {
                const std::string key = detail::stem_key(target);
                std::unique_lock guard(store.lock);
                const int64_t stub = store.addNode_unlocked(key, {}, NODE_STUB, 0, err);
                if (stub < 0) {
                    stubFailed = true;
                    continue;
                }
                to = uint32_t(stub);
                index.emplace(key, to);
            }
            if (to == id) {
                ++stats.self_links;
                continue;
            }
            if (!linked.insert(to).second) {
                ++stats.duplicate_links;
                continue;
            }
            std::string ignored;
            if (store.addEdge(id, to, 1.0f, EDGE_LINK, 0, ignored)) ++stats.edges;
        }
    }
    if (stubFailed) return false;
    stats.nodes = store.header()->node_count;
    if (!store.finalizeAdjacency(err)) return false;
    store.flushAsync();
    store.close();
    return true;
}

} // namespace

bool importVault(const std::string& vault_dir, const std::string& out_path, const ImportOptions& options,
                 ImportStats& stats, std::string& err) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(vault_dir, ec)) {
        err = "vault dir not found: " + vault_dir;
        return false;
    }
    std::vector<Note> notes;
    notes.reserve(8192);
    Links links;
    KeyIndex index;
    std::string text;
    fs::recursive_directory_iterator it(vault_dir, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::error_code typeError;
        if (!entry.is_regular_file(typeError) || typeError || !isMarkdown(entry.path())) continue;
        if (!readWhole(entry.path(), text)) continue;
        stats.bytes_read += text.size();
        Note note;
        note.title = entry.path().stem().string();
        note.excerpt = text.substr(0, size_t(std::min<uint64_t>(options.excerpt_bytes, text.size())));
        note.firstLink = links.spans.size();
        detail::scan_links(text, options, stats, [&](std::string_view target, bool) {
            links.spans.emplace_back(links.bytes.size(), target.size());
            links.bytes.append(target);
        });
        note.linkCount = links.spans.size() - note.firstLink;
        if (!index.emplace(detail::stem_key(entry.path().filename().string()), uint32_t(notes.size())).second)
            ++stats.duplicate_stems;
        notes.push_back(std::move(note));
    }
    stats.files = notes.size();
    if (notes.empty()) {
        err = "no .md files under " + vault_dir;
        return false;
    }
    const std::string tmp = temporaryPath(out_path);
    if (!build(notes, links, index, tmp, options, stats, err)) {
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), out_path.c_str()) != 0) {
        err = std::string("rename: ") + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace tkg

extern "C" int32_t tkg_import_vault(const char* vault_dir, const char* out_path, tkg_import_stats* stats,
                                    char* err, int32_t err_len) {
    if (!vault_dir || !out_path) {
        tkg::copyError("null arg", err, err_len);
        return -1;
    }
    tkg::ImportStats s;
    std::string message;
    bool ok = false;
    try {
        ok = tkg::importVault(vault_dir, out_path, tkg::ImportOptions{}, s, message);
    } catch (const std::exception& e) {
        message = e.what();
    }
    if (!ok) {
        tkg::copyError(message, err, err_len);
        return -1;
    }
    if (stats) {
        stats->files = uint32_t(s.files);
        stats->nodes = uint32_t(s.nodes);
        stats->edges = uint32_t(s.edges);
        stats->wiki_links = uint32_t(s.wiki_links);
        stats->markdown_links = uint32_t(s.markdown_links);
        stats->unresolved_links = uint32_t(s.unresolved_links);
        stats->self_links = uint32_t(s.self_links);
        stats->duplicate_stems = uint32_t(s.duplicate_stems);
    }
    return 0;
}

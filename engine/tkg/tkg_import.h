#pragma once
// Builds a .tkg file from a folder of Markdown notes: one node per note, one
// edge per distinct wiki or Markdown link between two notes.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tkg {

struct ImportOptions {
    uint64_t excerpt_bytes = 400;     // bytes of a note kept as its content
    uint64_t scan_limit = 2097152;    // bytes at the start of a note scanned for links
    bool follow_markdown_links = true;
    bool create_stubs = false;        // a stub node for a target that names no note
};

struct ImportStats {
    uint64_t files = 0;
    uint64_t nodes = 0;
    uint64_t edges = 0;
    uint64_t wiki_links = 0;
    uint64_t markdown_links = 0;
    uint64_t unresolved_links = 0;
    uint64_t self_links = 0;
    uint64_t duplicate_links = 0;
    uint64_t duplicate_stems = 0;
    uint64_t attachment_links = 0;
    uint64_t bytes_read = 0;
};

// Builds the graph into a temporary file beside out_path and renames it over
// out_path only on success.
bool importVault(const std::string& vault_dir, const std::string& out_path, const ImportOptions& options,
                 ImportStats& stats, std::string& err);

namespace detail {

// A link target as it names a note: its last path component, the extension
// (from the last '.') dropped, ASCII lower-cased.
std::string stem_key(std::string_view s);
// The same with only a trailing ".md" dropped: the exact note name, which
// keeps dotted names such as "Release 2.0 notes" intact.
std::string name_key(std::string_view s);
bool ends_with_attachment(std::string_view lowered);
std::string_view trim(std::string_view s);

// Calls sink(target, is_wiki) for every link of `body` that passes the
// filters, in text order. `target` is the trimmed link text (wiki links cut
// at '#' or '|'); callers derive the keys from it.
void scan_links(std::string_view body, const ImportOptions& options, ImportStats& stats,
                const std::function<void(std::string_view target, bool is_wiki)>& sink);

} // namespace detail
} // namespace tkg

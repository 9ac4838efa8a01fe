#include "VivirovKit/Verification/UniversalASTVerifier.h"

#include <algorithm>
#include <cstring>

#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Verification/TreeSitterGrammars.h"

namespace vivirov {

namespace {

bool isErrorNode(TSNode node) {
    // The runtime has no ts_node_is_error; error nodes carry the type "ERROR".
    const char* type = ts_node_type(node);
    return type != nullptr && std::strcmp(type, "ERROR") == 0;
}

bool mayHoldError(TSNode node) {
    return ts_node_has_error(node) || isErrorNode(node) || ts_node_is_missing(node);
}

} // namespace

UniversalASTVerifier::UniversalASTVerifier() : parser_(ts_parser_new()) {}

UniversalASTVerifier::~UniversalASTVerifier() {
    if (parser_ != nullptr) ts_parser_delete(parser_);
}

ValidationResult UniversalASTVerifier::validateCodeBlock(const std::string& code,
                                                         const std::string& languageIdentifier) {
    return validateLocked(code, languageIdentifier);
}

const TSLanguage* UniversalASTVerifier::language(const std::string& identifier) {
    const std::string id = text::lowercased(identifier);
    if (id == "python" || id == "py") return tree_sitter_python();
    if (id == "javascript" || id == "js" || id == "jsx" || id == "node" || id == "typescript" ||
        id == "ts" || id == "tsx")
        return tree_sitter_javascript();
    if (id == "c" || id == "h" || id == "cpp" || id == "c++" || id == "cc" || id == "hpp" ||
        id == "objc")
        return tree_sitter_c();
    return nullptr;
}

ValidationResult UniversalASTVerifier::validateLocked(const std::string& code,
                                                      const std::string& languageIdentifier) {
    const ValidationResult valid{true, std::nullopt};
    std::lock_guard guard(lock_);
    if (parser_ == nullptr) return valid;
    const TSLanguage* grammar = language(languageIdentifier);
    if (grammar == nullptr) return valid;
    if (!ts_parser_set_language(parser_, grammar)) {
        logLine("[UniversalASTVerifier] grammar for " + languageIdentifier +
                " refused by the tree-sitter runtime; block not checked");
        return valid;
    }
    // The tree-sitter runtime corrupts its heap once a parse stack reaches
    // 65,535 entries (deeply nested or unbalanced input) and then crashes the
    // process. Every entry takes at least one byte, so a smaller block is safe;
    // a larger one is not checked, like any other block that cannot be.
    if (code.size() > kMaxCheckedBytes) {
        logLine("[UniversalASTVerifier] " + languageIdentifier + " block of " +
                std::to_string(code.size()) + " bytes not checked: over the parser's safe size");
        return valid;
    }
    TSTree* tree = ts_parser_parse_string(parser_, nullptr, code.data(),
                                          static_cast<uint32_t>(code.size()));
    if (tree == nullptr) return valid;
    const TSNode root = ts_tree_root_node(tree);
    if (!ts_node_has_error(root)) {
        ts_tree_delete(tree);
        return valid;
    }
    std::string text;
    if (const auto hit = firstErrorNode(root)) {
        text = penalty(code, *hit, languageIdentifier);
    } else {
        text = "\n// PARSER ERROR: the block is not structurally valid " + languageIdentifier +
               ". Emit strictly valid, fully-closed syntax. Retry block.\n";
    }
    ts_tree_delete(tree);
    return ValidationResult{false, std::move(text)};
}

// Depth first in child order, descending only into children that may hold an
// error. Walks with a cursor rather than recursion so that deeply nested
// input cannot exhaust the stack.
std::optional<UniversalASTVerifier::ErrorHit> UniversalASTVerifier::firstErrorNode(TSNode node) {
    TSTreeCursor cursor = ts_tree_cursor_new(node);
    std::optional<ErrorHit> hit;
    size_t depth = 0;
    while (true) {
        const TSNode current = ts_tree_cursor_current_node(&cursor);
        if (isErrorNode(current) || ts_node_is_missing(current)) {
            hit = ErrorHit{ts_node_start_byte(current), ts_node_end_byte(current),
                           ts_node_is_missing(current)};
            break;
        }
        bool descended = false;
        if (ts_tree_cursor_goto_first_child(&cursor)) {
            do {
                if (mayHoldError(ts_tree_cursor_current_node(&cursor))) {
                    descended = true;
                    break;
                }
            } while (ts_tree_cursor_goto_next_sibling(&cursor));
            if (descended) {
                ++depth;
                continue;
            }
            ts_tree_cursor_goto_parent(&cursor);
        }
        // Nothing below this node: move on to the next candidate sibling of it
        // or of an ancestor.
        bool advanced = false;
        while (depth > 0 && !advanced) {
            while (ts_tree_cursor_goto_next_sibling(&cursor)) {
                if (mayHoldError(ts_tree_cursor_current_node(&cursor))) {
                    advanced = true;
                    break;
                }
            }
            if (!advanced) {
                ts_tree_cursor_goto_parent(&cursor);
                --depth;
            }
        }
        if (!advanced) break;
    }
    ts_tree_cursor_delete(&cursor);
    return hit;
}

std::string UniversalASTVerifier::penalty(const std::string& code, const ErrorHit& hit,
                                          const std::string& language) {
    const size_t end = std::min<size_t>(code.size(), hit.endByte);
    std::string snippet;
    if (hit.startByte < end) {
        snippet = text::trimmed(text::decodeUTF8Lossy(
            std::string_view(code).substr(hit.startByte, end - hit.startByte)));
    }
    std::string out = "\n// PARSER ";
    out += hit.isMissing ? "MISSING TOKEN" : "SYNTAX ERROR";
    out += " at byte [" + std::to_string(hit.startByte) + "]";
    if (!snippet.empty()) out += " near '" + text::graphemePrefix(snippet, 48) + "'";
    out += ": structurally invalid " + language +
           ". Close all brackets, quotes, and blocks; emit strictly valid syntax. Retry block.\n";
    return out;
}

} // namespace vivirov

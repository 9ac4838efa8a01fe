#include "bpe_tokenizer.h"

#include <algorithm>
#include <cstring>

#include "gguf_file.h"
#include "utf8_lead.h"

namespace {

// Special tokens looked for in the vocabulary; every one begins with '<'.
const char* const kCandidates[] = {
    "<|endoftext|>", "<|im_start|>", "<|im_end|>", "<|object_ref_start|>", "<|object_ref_end|>",
    "<|box_start|>", "<|box_end|>", "<|quad_start|>", "<|quad_end|>", "<|vision_start|>",
    "<|vision_end|>", "<|vision_pad|>", "<|image_pad|>", "<|video_pad|>", "<|fim_prefix|>",
    "<|fim_middle|>", "<|fim_suffix|>", "<|fim_pad|>", "<|repo_name|>", "<|file_sep|>",
};

enum class Cls { Letter, Digit, Space, Symbol };

Cls cls(uint32_t c) {
    if (c > 127) return Cls::Letter;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return Cls::Letter;
    if (c >= '0' && c <= '9') return Cls::Digit;
    if ((c >= 9 && c <= 13) || c == 32) return Cls::Space;
    return Cls::Symbol;
}

bool is_newline(uint32_t c) { return c == 10 || c == 13; }

uint32_t ascii_lower(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

} // namespace

// Per-call working storage of the merge loop, reused across the pieces of one
// encode call.
struct BPETokenizer::Scratch {
    struct Pair {
        int32_t rank;
        int32_t left;
        uint32_t left_end, right_end; // the symbols as they were when the pair was found
    };
    std::vector<uint32_t> start, end;
    std::vector<int32_t> id; // vocabulary id of each symbol's text, or -1
    std::vector<int32_t> prev, next;
    std::vector<uint8_t> alive;
    std::vector<Pair> heap;
    std::string key;
};

BPETokenizer::BPETokenizer(const GGUFFile& file) {
    vocab.reserve(file.tokens.size());
    for (size_t i = 0; i < file.tokens.size(); ++i) vocab[file.tokens[i]] = int32_t(i);
    merge_rank.reserve(file.merges.size());
    for (size_t j = 0; j < file.merges.size(); ++j) merge_rank[file.merges[j]] = int32_t(j);
    build_byte_encoder();
    build_specials();
    build_pair_merges();
    id_to_token = &file.tokens;
}

namespace {

uint64_t pair_key(int32_t l, int32_t r) { return (uint64_t(uint32_t(l)) << 32) | uint32_t(r); }

uint64_t pair_hash(uint64_t key) { return key * 0x9E3779B97F4A7C15ull; }

} // namespace

void BPETokenizer::build_pair_merges() {
    for (int b = 0; b < 256; ++b) {
        auto it = vocab.find(std::string_view(byte_enc[b]));
        byte_id_[b] = it == vocab.end() ? -1 : it->second;
    }
    size_t cap = 16;
    while (cap < merge_rank.size() * 2) cap *= 2;
    pair_merge_.assign(cap, PairMerge{});
    pair_shift_ = 64 - __builtin_ctzll(cap);
    std::string joined;
    for (const auto& [text, rank] : merge_rank) {
        // A text with several spaces is found under every split by the text lookup.
        for (size_t p = text.find(' '); p != std::string::npos; p = text.find(' ', p + 1)) {
            std::string_view t(text);
            auto l = vocab.find(t.substr(0, p));
            if (l == vocab.end()) continue;
            auto r = vocab.find(t.substr(p + 1));
            if (r == vocab.end()) continue;
            joined.assign(t.substr(0, p));
            joined += t.substr(p + 1);
            auto m = vocab.find(std::string_view(joined));
            uint64_t key = pair_key(l->second, r->second);
            size_t mask = cap - 1;
            size_t i = size_t(pair_hash(key) >> pair_shift_);
            while (pair_merge_[i].key != ~0ull && pair_merge_[i].key != key) i = (i + 1) & mask;
            pair_merge_[i] = PairMerge{key, rank, m == vocab.end() ? -1 : m->second};
        }
    }
}

const BPETokenizer::PairMerge* BPETokenizer::find_pair(int32_t left, int32_t right) const {
    uint64_t key = pair_key(left, right);
    size_t mask = pair_merge_.size() - 1;
    for (size_t i = size_t(pair_hash(key) >> pair_shift_);; i = (i + 1) & mask) {
        const PairMerge& e = pair_merge_[i];
        if (e.key == key) return &e;
        if (e.key == ~0ull) return nullptr;
    }
}

void BPETokenizer::build_byte_encoder() {
    uint32_t next_code = 256;
    for (uint32_t b = 0; b < 256; ++b) {
        bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174 && b <= 255);
        byte_enc[b] = utf8(printable ? b : next_code++);
    }
    std::fill(std::begin(byte_dec), std::end(byte_dec), int16_t(-1));
    for (uint32_t b = 0; b < 256; ++b) {
        if (byte_enc[b].empty()) continue;
        uint32_t c = decode_utf8(byte_enc[b])[0].code;
        if (c <= 511) byte_dec[c] = int16_t(b);
    }
}

void BPETokenizer::build_specials() {
    for (const char* text : kCandidates) {
        auto it = vocab.find(std::string_view(text));
        if (it != vocab.end()) specials.emplace_back(text, it->second);
    }
    std::stable_sort(specials.begin(), specials.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
}

std::string BPETokenizer::utf8(uint32_t c) {
    std::string s;
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | (c >> 6));
        s += char(0x80 | (c & 0x3F));
    } else if (c <= 0xFFFF) {
        s += char(0xE0 | (c >> 12));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xF0 | ((c >> 18) & 0x07));
        s += char(0x80 | ((c >> 12) & 0x3F));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
    return s;
}

std::vector<BPETokenizer::CP> BPETokenizer::decode_utf8(std::string_view text) {
    std::vector<CP> out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        vm::Utf8Lead l = vm::utf8_lead(p[i]);
        // A sequence cut off by the end keeps only the bytes that exist.
        size_t have = std::min(l.len, n - i);
        uint32_t code = vm::utf8_code(p + i, l, have);
        out.push_back(CP{code, i, have});
        i += have;
    }
    return out;
}

namespace {

// The pre-tokenizer rules over any character sequence: `c.next(i)` is the
// position after character i, `c.code(i)` its code point, `c.end()` the end.
// `emit(begin, end)` receives each piece in order.
template <typename Chars, typename Emit> void cut_pieces(const Chars& c, Emit&& emit) {
    const size_t n = c.end();
    auto cls_at = [&](size_t i) { return cls(c.code(i)); };
    size_t v = 0;
    while (v < n) {
        const uint32_t g = c.code(v);
        const Cls gc = cls(g);
        const size_t v1 = c.next(v);
        size_t e = v; // end of the piece, once a rule has found it

        // 1. Contractions, case-insensitive.
        if (g == '\'' && v1 < n) {
            uint32_t c1 = ascii_lower(c.code(v1));
            size_t v2 = c.next(v1);
            if (c1 == 'd' || c1 == 'm' || c1 == 's' || c1 == 't') {
                e = v2;
            } else if (v2 < n) {
                uint32_t c2 = ascii_lower(c.code(v2));
                if ((c1 == 'r' && c2 == 'e') || (c1 == 'v' && c2 == 'e') || (c1 == 'l' && c2 == 'l')) e = c.next(v2);
            }
        }
        // 2. A letter run, with one optional leading non-letter, non-digit, non-newline.
        if (e == v) {
            size_t run = v;
            if (gc != Cls::Letter && gc != Cls::Digit && !is_newline(g) && v1 < n && cls_at(v1) == Cls::Letter)
                run = v1;
            if (cls_at(run) == Cls::Letter) {
                e = c.next(run);
                while (e < n && cls_at(e) == Cls::Letter) e = c.next(e);
            }
        }
        // 3. One digit.
        if (e == v && gc == Cls::Digit) e = v1;
        // 4. A symbol run, with one optional leading space, then trailing newlines.
        if (e == v) {
            size_t run = v;
            if (g == 32 && v1 < n && cls_at(v1) == Cls::Symbol) run = v1;
            if (cls_at(run) == Cls::Symbol) {
                e = c.next(run);
                while (e < n && cls_at(e) == Cls::Symbol) e = c.next(e);
                while (e < n && is_newline(c.code(e))) e = c.next(e);
            }
        }
        // 5. Whitespace: up to its last newline; otherwise all of it but the
        // last character when a non-space follows (that one leads the next piece).
        if (e == v && gc == Cls::Space) {
            size_t i = v, last = v, last_nl_end = n + 1;
            size_t count = 0;
            while (i < n && cls_at(i) == Cls::Space) {
                size_t after = c.next(i);
                if (is_newline(c.code(i))) last_nl_end = after;
                last = i;
                i = after;
                ++count;
            }
            if (last_nl_end != n + 1) e = last_nl_end;
            else if (i < n && count >= 2) e = last;
            else e = i;
        }
        if (e == v) e = v1; // unreachable: every class has its rule
        emit(v, e);
        v = e;
    }
}

// Characters decoded ahead of time (the public pretokenize).
struct DecodedChars {
    const std::vector<BPETokenizer::CP>& cps;
    size_t end() const { return cps.size(); }
    size_t next(size_t i) const { return i + 1; }
    uint32_t code(size_t i) const { return cps[i].code; }
};

// Characters decoded in place from the bytes, positions being byte offsets.
struct ByteChars {
    const uint8_t* p;
    size_t n;
    size_t end() const { return n; }
    size_t next(size_t i) const { return i + std::min(vm::utf8_lead(p[i]).len, n - i); }
    uint32_t code(size_t i) const {
        vm::Utf8Lead l = vm::utf8_lead(p[i]);
        return vm::utf8_code(p + i, l, std::min(l.len, n - i));
    }
};

} // namespace

std::vector<std::pair<size_t, size_t>> BPETokenizer::pretokenize(const std::vector<CP>& cps,
                                                                 std::string_view text) const {
    std::vector<std::pair<size_t, size_t>> pieces;
    auto byte_of = [&](size_t i) { return i < cps.size() ? size_t(cps[i].byte_off) : text.size(); };
    cut_pieces(DecodedChars{cps}, [&](size_t b, size_t e) { pieces.emplace_back(byte_of(b), byte_of(e)); });
    return pieces;
}

void BPETokenizer::bpe_into(std::string_view piece, Scratch& s, std::vector<int32_t>& out) const {
    const size_t n = piece.size();
    if (n == 0) return;
    if (n == 1 || merge_rank.empty()) {
        for (char c : piece) out.push_back(byte_id_[uint8_t(c)]);
        return;
    }
    // Symbol i covers piece bytes [start[i], end[i]); its text is the byte
    // symbols of those bytes.
    s.start.resize(n);
    s.end.resize(n);
    s.id.resize(n);
    s.prev.resize(n);
    s.next.resize(n);
    s.alive.assign(n, 1);
    for (size_t i = 0; i < n; ++i) {
        s.start[i] = uint32_t(i);
        s.end[i] = uint32_t(i + 1);
        s.id[i] = byte_id_[uint8_t(piece[i])];
        s.prev[i] = int32_t(i) - 1;
        s.next[i] = i + 1 < n ? int32_t(i + 1) : -1;
    }
    auto text_of = [&](uint32_t b, uint32_t e) {
        std::string t;
        for (uint32_t k = b; k < e; ++k) t += byte_enc[uint8_t(piece[k])];
        return t;
    };

    // Repeatedly merge the adjacent pair of lowest rank, the leftmost on equal
    // ranks. A heap of candidate pairs replaces the rescan of every pair after
    // each merge; entries made stale by a merge are recognised by the symbol
    // ends recorded with them. The result equals the one-merge-per-pass rescan.
    auto later = [](const Scratch::Pair& a, const Scratch::Pair& b) {
        return a.rank != b.rank ? a.rank > b.rank : a.left > b.left;
    };
    s.heap.clear();
    auto consider = [&](int32_t l) {
        int32_t r = s.next[l];
        if (r < 0) return;
        int32_t rank;
        if (s.id[l] >= 0 && s.id[r] >= 0) {
            const PairMerge* m = find_pair(s.id[l], s.id[r]);
            if (m == nullptr) return;
            rank = m->rank;
        } else {
            s.key = text_of(s.start[l], s.end[l]);
            s.key += ' ';
            s.key += text_of(s.start[r], s.end[r]);
            auto it = merge_rank.find(std::string_view(s.key));
            if (it == merge_rank.end()) return;
            rank = it->second;
        }
        s.heap.push_back(Scratch::Pair{rank, l, s.end[l], s.end[r]});
        std::push_heap(s.heap.begin(), s.heap.end(), later);
    };
    for (size_t i = 0; i + 1 < n; ++i) consider(int32_t(i));
    while (!s.heap.empty()) {
        std::pop_heap(s.heap.begin(), s.heap.end(), later);
        Scratch::Pair p = s.heap.back();
        s.heap.pop_back();
        int32_t l = p.left;
        if (!s.alive[l]) continue;
        int32_t r = s.next[l];
        if (r < 0 || s.end[l] != p.left_end || s.end[r] != p.right_end) continue;
        int32_t merged = -1;
        if (s.id[l] >= 0 && s.id[r] >= 0) {
            merged = find_pair(s.id[l], s.id[r])->merged;
        } else {
            auto it = vocab.find(std::string_view(text_of(s.start[l], s.end[r])));
            if (it != vocab.end()) merged = it->second;
        }
        s.end[l] = s.end[r];
        s.id[l] = merged;
        s.alive[r] = 0;
        s.next[l] = s.next[r];
        if (s.next[r] >= 0) s.prev[s.next[r]] = l;
        if (s.prev[l] >= 0) consider(s.prev[l]);
        consider(l);
    }
    for (int32_t i = 0; i >= 0; i = s.next[i]) out.push_back(s.id[i]);
}

std::vector<int32_t> BPETokenizer::bpe(std::string_view piece) const {
    Scratch s;
    std::vector<int32_t> out;
    bpe_into(piece, s, out);
    return out;
}

std::vector<int32_t> BPETokenizer::encode(std::string_view text) const {
    std::vector<int32_t> ids;
    Scratch scratch;
    const size_t len = text.size();
    auto special_at = [&](size_t pos) -> const std::pair<std::string, int32_t>* {
        if (text[pos] != '<') return nullptr;
        for (const auto& sp : specials)
            if (sp.first.size() <= len - pos && std::memcmp(text.data() + pos, sp.first.data(), sp.first.size()) == 0)
                return &sp;
        return nullptr;
    };
    size_t pos = 0;
    while (pos < len) {
        if (const auto* sp = special_at(pos)) {
            ids.push_back(sp->second);
            pos += sp->first.size();
            continue;
        }
        size_t q = len;
        if (!specials.empty()) {
            for (size_t at = pos + 1; at < len; ++at) {
                const void* lt = std::memchr(text.data() + at, '<', len - at);
                if (lt == nullptr) break;
                at = size_t(static_cast<const char*>(lt) - text.data());
                if (special_at(at)) {
                    q = at;
                    break;
                }
            }
        }
        std::string_view segment = text.substr(pos, q - pos);
        cut_pieces(ByteChars{reinterpret_cast<const uint8_t*>(segment.data()), segment.size()},
                   [&](size_t b, size_t e) { bpe_into(segment.substr(b, e - b), scratch, ids); });
        pos = q;
    }
    return ids;
}

size_t BPETokenizer::detok_into(int32_t id, char* buf, size_t cap) const {
    if (id < 0 || id_to_token == nullptr || cap == 0 || size_t(id) >= id_to_token->size()) return 0;
    const std::string& t = (*id_to_token)[size_t(id)];
    const auto* p = reinterpret_cast<const uint8_t*>(t.data());
    const size_t n = t.size();
    size_t i = 0, w = 0;
    while (i < n && w < cap) {
        vm::Utf8Lead l = vm::utf8_lead(p[i]);
        if (!l.proper || l.len > n - i) break;
        uint32_t code = vm::utf8_code(p + i, l, l.len);
        i += l.len;
        if (code >= 512) continue;
        if (byte_dec[code] >= 0) buf[w++] = char(byte_dec[code]);
    }
    return w;
}

#pragma once
// Byte-level BPE over a model file's "tokenizer.ggml.tokens" and
// "tokenizer.ggml.merges" lists, with the GPT-2 byte-to-unicode mapping, the
// Qwen2 pre-tokenizer written as fixed character-class rules, and the ChatML
// and Qwen2 special tokens matched literally anywhere in the input.
//
// Read-only after construction: encode and detok_into may run on many threads
// at once. The GGUFFile must outlive the tokenizer (ids are decoded through
// its token list).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class GGUFFile;

class BPETokenizer {
public:
    struct CP {
        uint32_t code = 0;
        uint64_t byte_off = 0;
        uint64_t byte_len = 0;
    };

    explicit BPETokenizer(const GGUFFile& file);
    BPETokenizer(const BPETokenizer&) = delete;
    BPETokenizer& operator=(const BPETokenizer&) = delete;

    // Token ids of `text` (UTF-8 expected, any bytes accepted); −1 stands for a
    // final symbol the vocabulary lacks.
    std::vector<int32_t> encode(std::string_view text) const;
    // Writes at most `cap` bytes of token `id` into `buf`; returns the count.
    size_t detok_into(int32_t id, char* buf, size_t cap) const;

    static std::string utf8(uint32_t code);
    static std::vector<CP> decode_utf8(std::string_view text);
    // Pieces of `text` as (first byte, end byte) ranges, by the pre-tokenizer rules.
    std::vector<std::pair<size_t, size_t>> pretokenize(const std::vector<CP>& cps, std::string_view text) const;
    // Ids of one piece after byte encoding and rank-ordered merging.
    std::vector<int32_t> bpe(std::string_view piece) const;

    // Transparent hashing so that lookups take string views without copies.
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    using Table = std::unordered_map<std::string, int32_t, Hash, std::equal_to<>>;

    Table vocab;
    Table merge_rank;
    std::string byte_enc[256];
    int16_t byte_dec[512];
    std::vector<std::pair<std::string, int32_t>> specials;
    const std::vector<std::string>* id_to_token = nullptr;

private:
    // Merges between two vocabulary symbols, keyed by their ids: the rank of
    // "left right" and the id of the joined text (−1 when the vocabulary lacks
    // it). Symbols outside the vocabulary fall back to the text lookup.
    struct PairMerge {
        uint64_t key = ~0ull; // (left id << 32 | right id); all ones marks a free slot
        int32_t rank = 0;
        int32_t merged = -1;
    };
    std::vector<PairMerge> pair_merge_; // open addressing, a power of two long
    int pair_shift_ = 64;
    int32_t byte_id_[256];
    void build_pair_merges();
    const PairMerge* find_pair(int32_t left, int32_t right) const;

    struct Scratch;
    void build_byte_encoder();
    void build_specials();
    void bpe_into(std::string_view piece, Scratch& s, std::vector<int32_t>& out) const;
};

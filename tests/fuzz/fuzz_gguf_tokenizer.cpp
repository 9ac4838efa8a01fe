// Any bytes as text for a byte-level vocabulary with merges and special
// tokens: encoding must cover every byte, and decoding must give them back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "engine/vm_cabi/bpe_tokenizer.h"
#include "engine/vm_cabi/gguf_file.h"

namespace {

void put(std::string& out, const void* p, size_t n) { out.append(static_cast<const char*>(p), n); }

void put_str(std::string& out, std::string_view s) {
    uint64_t n = s.size();
    put(out, &n, 8);
    out += s;
}

void put_list(std::string& out, std::string_view key, const std::vector<std::string>& list) {
    put_str(out, key);
    uint32_t arr = 9, str = 8;
    uint64_t n = list.size();
    put(out, &arr, 4);
    put(out, &str, 4);
    put(out, &n, 8);
    for (const auto& s : list) put_str(out, s);
}

struct Vocab {
    std::unique_ptr<GGUFFile> file;
    std::unique_ptr<BPETokenizer> tok;
};

const Vocab& vocab() {
    static Vocab v = [] {
        std::vector<std::string> tokens(256), merges;
        Vocab built;
        // The byte symbols come from a first tokenizer over an empty file.
        std::string file = "GGUF";
        uint32_t version = 3;
        uint64_t zero = 0, two = 2;
        put(file, &version, 4);
        put(file, &zero, 8);
        std::string empty = file;
        put(empty, &zero, 8);
        int fd0 = memfd_create("vocab0", 0);
        if (pwrite(fd0, empty.data(), empty.size(), 0) != ssize_t(empty.size())) __builtin_trap();
        GGUFFile f0("/proc/self/fd/" + std::to_string(fd0));
        BPETokenizer t0(f0);
        for (int b = 0; b < 256; ++b) tokens[size_t(b)] = t0.byte_enc[b];
        const char* words[] = {"th", "the", "in", "ing", "an", "and", "er", "re", "ĠĠ", "ĠĠĠĠ", "ĊĊ", "aa", "aaaa"};
        for (const char* w : words) {
            std::string s = w;
            size_t half = s.size() / 2;
            merges.push_back(s.substr(0, half) + " " + s.substr(half));
            tokens.push_back(s);
        }
        tokens.push_back("<|im_start|>");
        tokens.push_back("<|im_end|>");
        tokens.push_back("<|endoftext|>");
        put(file, &two, 8);
        put_list(file, "tokenizer.ggml.tokens", tokens);
        put_list(file, "tokenizer.ggml.merges", merges);
        int fd = memfd_create("vocab", 0);
        if (pwrite(fd, file.data(), file.size(), 0) != ssize_t(file.size())) __builtin_trap();
        built.file = std::make_unique<GGUFFile>("/proc/self/fd/" + std::to_string(fd));
        built.tok = std::make_unique<BPETokenizer>(*built.file);
        return built;
    }();
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const BPETokenizer& tok = *vocab().tok;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string back;
    char buf[64];
    for (int32_t id : tok.encode(text)) {
        if (id < 0) __builtin_trap(); // every byte has its symbol
        back.append(buf, tok.detok_into(id, buf, sizeof buf));
    }
    if (back != text) __builtin_trap();
    return 0;
}

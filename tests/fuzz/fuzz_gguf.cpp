// Any bytes as a model file: the reader must fail with one of its errors or
// give tensors that lie inside the mapping, never read outside it; a parsed
// file's vocabulary must tokenise and detokenise without faults.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "engine/vm_cabi/bpe_tokenizer.h"
#include "engine/vm_cabi/gguf_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("fuzz_gguf", 0);
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        GGUFFile f(path);
        for (const GGUFTensor& t : f.tensors) {
            if (t.data < f.base || uint64_t(t.data - f.base) > f.size ||
                t.nbytes > f.size - uint64_t(t.data - f.base))
                __builtin_trap();
            // Touch the first and last byte of every span: ASan and the
            // mapping catch any that lies outside.
            if (t.nbytes > 0) {
                volatile uint8_t a = t.data[0], b = t.data[t.nbytes - 1];
                (void)a;
                (void)b;
            }
        }
        BPETokenizer tok(f);
        std::string_view text(reinterpret_cast<const char*>(data), size < 512 ? size : 512);
        char buf[64];
        for (int32_t id : tok.encode(text)) tok.detok_into(id, buf, sizeof buf);
    } catch (const std::exception& e) {
        if (std::string_view(e.what()).substr(0, 6) != "GGUF: ") __builtin_trap();
    }
    return 0;
}

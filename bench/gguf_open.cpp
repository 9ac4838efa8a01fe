// Opening a GGUF file parses only its metadata and tensor table: the time must
// not grow with the size of the data section. Each size is reported beside the
// bare open/fstat/mmap/munmap/close of the same file, measured in the same run;
// "resident_data_pages" counts weight pages brought in by the open (must be 0).
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/vm_cabi/gguf_file.h"
#include "tests/support/GGUFWriter.h"

namespace {

constexpr int kTensors = 2000;

// A model-like table of kTensors tensors over a sparse data section of `mb` MiB.
const std::string& fileOf(int64_t mb) {
    static std::map<int64_t, std::string> files;
    auto it = files.find(mb);
    if (it != files.end()) return it->second;
    std::string path = "/tmp/vivirov_bench_gguf_" + std::to_string(getpid()) + "_" + std::to_string(mb) + ".gguf";
    vivirov::test::GGUFWriter w;
    w.str("general.architecture", "qwen2").u32("qwen2.block_count", 24);
    uint64_t bytes = uint64_t(mb) << 20;
    uint64_t each = bytes / kTensors / 32 * 32;
    for (int i = 0; i < kTensors; ++i)
        w.tensorInfo("blk." + std::to_string(i / 10) + ".w" + std::to_string(i % 10), {each / 4}, 0, each * uint64_t(i));
    w.write(path);
    struct stat st;
    stat(path.c_str(), &st);
    if (truncate(path.c_str(), st.st_size + off_t(bytes) + 4096) != 0) std::abort();
    return files[mb] = path;
}

size_t residentDataPages(const std::string& path) {
    GGUFFile f(path);
    long page = sysconf(_SC_PAGESIZE);
    uint64_t first = (f.data_start + uint64_t(page) - 1) / uint64_t(page) * uint64_t(page);
    size_t pages = size_t((f.size - first) / uint64_t(page));
    std::string vec(pages, '\0');
    mincore(const_cast<uint8_t*>(f.base) + first, pages * size_t(page), reinterpret_cast<unsigned char*>(vec.data()));
    size_t resident = 0;
    for (char c : vec) resident += size_t(c & 1);
    return resident;
}

void BM_OpenGGUF(benchmark::State& state) {
    const std::string& path = fileOf(state.range(0));
    for (auto _ : state) {
        GGUFFile f(path);
        benchmark::DoNotOptimize(f.tensors.data());
    }
    state.counters["file_MiB"] = double(state.range(0));
    state.counters["resident_data_pages"] = double(residentDataPages(path));
}

void BM_BareMapBaseline(benchmark::State& state) {
    const std::string& path = fileOf(state.range(0));
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        fstat(fd, &st);
        void* m = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        benchmark::DoNotOptimize(m);
        munmap(m, size_t(st.st_size));
        close(fd);
    }
    state.counters["file_MiB"] = double(state.range(0));
}

} // namespace

BENCHMARK(BM_BareMapBaseline)->Arg(16)->Arg(1024)->Arg(16384)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenGGUF)->Arg(16)->Arg(1024)->Arg(16384)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (int64_t mb : {16, 1024, 16384}) unlink(fileOf(mb).c_str());
    return 0;
}

// The first-generation engine on small Qwen2-shaped models written as GGUF
// files: the forward pass against a double-precision reference, generation,
// prefix reuse, every rejection, and memory locking.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/include/vm_engine.h"
#include "engine/vm_cabi/vm_engine_core.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/StderrCapture.h"
#include "tests/support/TempDir.h"

using namespace vivirov::test;

namespace {

class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~EnvVar() {
        if (had_) setenv(name_, old_.c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

// Tests run with the weights left pageable unless they test locking.
class VMEngineTest : public ::testing::Test {
protected:
    EnvVar noLock_{"VIVIROV_VM_MLOCK", "0"};
    TempDir dir_;

    std::string write(const QwenModel& m, const std::string& name = "model.gguf") {
        return m.writer().write(dir_.file(name));
    }
};

struct Collected {
    std::vector<std::string> pieces;
    static void add(const char* piece, void* user) { static_cast<Collected*>(user)->pieces.push_back(piece); }
};

std::vector<int> idsOf(const VMEngine& e, const std::string& text) {
    std::vector<int> out;
    for (int32_t id : e.tokenizer.encode(text)) out.push_back(id);
    return out;
}

double maxAbs(const std::vector<double>& v) {
    double m = 0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

} // namespace

TEST_F(VMEngineTest, ForwardPassMatchesADoublePrecisionReferenceAtEveryPosition) {
    for (uint32_t type : {GGUFWriter::GF32, GGUFWriter::GF16, GGUFWriter::GQ8_0}) {
        SCOPED_TRACE(type);
        QwenShape shape;
        shape.type = type;
        QwenModel model(shape);
        VMEngine engine(write(model));
        std::vector<int> ids = idsOf(engine, "hello world, the user said 42!");
        ASSERT_GE(ids.size(), 10u);
        auto expected = model.referenceLogits(ids);
        std::vector<float> logits;
        for (size_t pos = 0; pos < ids.size(); ++pos) {
            engine.forward_token_into(engine.session, ids[pos], int32_t(pos), logits);
            ASSERT_EQ(logits.size(), size_t(shape.vocab));
            double tol = 2e-5 * (1.0 + maxAbs(expected[pos]));
            for (size_t i = 0; i < logits.size(); ++i)
                ASSERT_NEAR(logits[i], expected[pos][i], tol) << "position " << pos << " logit " << i;
        }
    }
}

TEST_F(VMEngineTest, GreedyGenerationIsDeterministicAndFollowsTheReference) {
    QwenModel model(QwenShape{});
    std::string path = write(model);
    auto run = [&](const char* env) {
        EnvVar cache("VIVIROV_VM_PREFIX_CACHE", env);
        vm_engine* e = vm_engine_create(path.c_str());
        Collected c;
        EXPECT_EQ(vm_engine_infer(e, "hello world", 8, &Collected::add, &c), 8);
        Collected again;
        EXPECT_EQ(vm_engine_infer(e, "hello world", 8, &Collected::add, &again), 8);
        EXPECT_EQ(again.pieces, c.pieces); // a repeated call (prefix reused or not) answers the same
        vm_engine_free(e);
        return c.pieces;
    };
    std::vector<std::string> first = run(nullptr);
    EXPECT_EQ(run("0"), first);

    // The same tokens by argmax over the reference's logits.
    VMEngine engine(path);
    std::vector<int> ids = idsOf(engine, "hello world");
    std::vector<std::string> expected;
    for (int step = 0; step < 8; ++step) {
        auto logits = model.referenceLogits(ids).back();
        int best = 0;
        for (int i = 1; i < int(logits.size()); ++i)
            if (logits[size_t(i)] > logits[size_t(best)]) best = i;
        expected.push_back(engine.detok_id(best));
        ids.push_back(best);
    }
    EXPECT_EQ(first, expected);
}

TEST_F(VMEngineTest, PrefixReuseRunsOnlyTheNewPositions) {
    QwenModel model(QwenShape{});
    vm_engine* handle = vm_engine_create(write(model).c_str());
    ASSERT_NE(handle, nullptr);
    VMEngine& e = *vm_engine_impl(handle);
    const size_t prompt = e.tokenizer.encode("hello world the").size();

    EXPECT_EQ(vm_engine_infer(handle, "hello world the", 3, nullptr, nullptr), 3);
    EXPECT_EQ(e.forward_steps, prompt + 3);
    EXPECT_EQ(e.session.history.size(), prompt + 3);

    // The same prompt again: only its last token runs before generating.
    EXPECT_EQ(vm_engine_infer(handle, "hello world the", 3, nullptr, nullptr), 3);
    EXPECT_EQ(e.forward_steps, prompt + 3 + 1 + 3);

    // A longer prompt sharing the first: only the new tokens run.
    const size_t longer = e.tokenizer.encode("hello world the user").size();
    EXPECT_EQ(vm_engine_infer(handle, "hello world the user", 0, nullptr, nullptr), 0);
    EXPECT_EQ(e.forward_steps, prompt + 3 + 1 + 3 + (longer - prompt));
    EXPECT_EQ(e.session.history.size(), longer); // max_new_tokens 0 still records the prompt

    // Switched off, the whole prompt runs every time.
    e.prefix_cache = false;
    uint64_t before = e.forward_steps;
    EXPECT_EQ(vm_engine_infer(handle, "hello world the user", 0, nullptr, nullptr), 0);
    EXPECT_EQ(e.forward_steps - before, longer);
    vm_engine_free(handle);

    EnvVar off("VIVIROV_VM_PREFIX_CACHE", "0");
    EXPECT_FALSE(VMEngine(write(model, "b.gguf")).prefix_cache);
    EnvVar other("VIVIROV_VM_PREFIX_CACHE", "no");
    EXPECT_TRUE(VMEngine(write(model, "c.gguf")).prefix_cache);
}

TEST_F(VMEngineTest, ReusedPrefixGivesTheSameAnswerAsAFreshEngine) {
    QwenModel model(QwenShape{});
    std::string path = write(model);
    vm_engine* warm = vm_engine_create(path.c_str());
    ASSERT_EQ(vm_engine_infer(warm, "hello world", 6, nullptr, nullptr), 6);
    Collected reused, fresh;
    vm_engine_infer(warm, "hello world the user", 6, &Collected::add, &reused);
    vm_engine* cold = vm_engine_create(path.c_str());
    vm_engine_infer(cold, "hello world the user", 6, &Collected::add, &fresh);
    EXPECT_EQ(reused.pieces, fresh.pieces);
    vm_engine_free(warm);
    vm_engine_free(cold);
}

TEST_F(VMEngineTest, AStopTokenAsTheFirstChoiceDeliversNothing) {
    QwenShape shape;
    shape.vocab = 151646;
    shape.layers = 1;
    shape.hidden = 32;
    shape.heads = 2;
    shape.kvHeads = 1;
    QwenModel model(shape);
    // Point the embedding row of "<|endoftext|>" (151643) along the prompt's final
    // normed state, so that its logit wins; the prompt never uses that row.
    std::vector<std::vector<double>> normed;
    const int hello = int(std::find(model.tokens.begin(), model.tokens.end(), "hello") - model.tokens.begin());
    model.referenceLogits({hello}, &normed);
    for (int i = 0; i < shape.hidden; ++i)
        model.embd[size_t(151643) * size_t(shape.hidden) + size_t(i)] = float(50.0 * normed.back()[size_t(i)]);
    vm_engine* e = vm_engine_create(write(model).c_str());
    ASSERT_NE(e, nullptr);
    Collected c;
    EXPECT_EQ(vm_engine_infer(e, "hello", 5, &Collected::add, &c), 0);
    EXPECT_TRUE(c.pieces.empty());
    vm_engine_free(e);
}

TEST_F(VMEngineTest, CreateRejectsWhatItCannotRunWithOneLine) {
    QwenModel model(QwenShape{});
    struct Case {
        const char* name;
        std::string bytes;
        std::string line; // after "[vm_engine_create] "
    };
    std::string good = model.writer().bytes();
    std::string cguf = good;
    cguf[0] = 'C';
    const std::vector<Case> cases = {
        {"cguf.gguf", cguf, "rejected %P — not a GGUF file"},
        {"three.gguf", "GGU", "rejected %P — not a GGUF file"},
        {"cut.gguf", good.substr(0, 200), "GGUF: read past EOF"},
        {"nobias.gguf", model.writer({"blk.0.attn_q.bias"}).bytes(),
         "VMEngine: required tensor 'blk.0.attn_q.bias' missing (unsupported arch or corrupt GGUF)"},
        {"q4k.gguf", model.writer({}, {{"blk.1.ffn_up.weight", GGUFWriter::GQ4_K}}).bytes(),
         "VMEngine: unsupported tensor quant type 12 (this engine dequantizes F32/F16/Q8_0 only)"},
        {"nodims.gguf",
         model.writer({"output_norm.weight"}).tensor("output_norm.weight", {}, GGUFWriter::GF32, std::string(4, '\0')).bytes(),
         "VMEngine: tensor with empty dims (corrupt GGUF)"},
        {"shape.gguf",
         model.writer({"blk.1.attn_k.weight"}).tensor("blk.1.attn_k.weight", {64, 16}, GGUFWriter::GF32, std::string(4096, '\0')).bytes(),
         "VMEngine: tensor 'blk.1.attn_k.weight' has shape 16x64, expected 32x64 (corrupt GGUF)"},
        // Without the "qwen2." keys the defaults apply: hidden 1536, q_dim 1536, kv_dim 256.
        {"nokeys.gguf", model.writer({}, {}, false).bytes(),
         "VMEngine: tensor 'token_embd.weight' has shape 320x64, expected 320x1536 (corrupt GGUF)"},
        // Refused from its keys alone, before any weight is loaded.
        {"big.gguf",
         GGUFWriter().u32("qwen2.embedding_length", 2048).u32("qwen2.attention.head_count", 16)
             .u32("qwen2.attention.head_count_kv", 2).bytes(),
         "VMEngine: model too large for this engine (hidden 2048, q_dim 2048, kv_dim 256; at most 1536, 1536 and 256)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir_.write(c.name, c.bytes);
        std::string line = c.line;
        if (auto at = line.find("%P"); at != std::string::npos) line.replace(at, 2, path);
        StderrCapture err;
        EXPECT_EQ(vm_engine_create(path.c_str()), nullptr);
        EXPECT_EQ(err.text(), "[vm_engine_create] " + line + "\n");
    }
    StderrCapture err;
    std::string missing = dir_.file("none.gguf");
    EXPECT_EQ(vm_engine_create(missing.c_str()), nullptr);
    EXPECT_EQ(vm_engine_create(nullptr), nullptr);
    EXPECT_EQ(err.text(), "[vm_engine_create] cannot open " + missing + "\n");
}

TEST_F(VMEngineTest, InferRefusesBadArgumentsAndPromptsItCannotRun) {
    QwenModel model(QwenShape{});
    vm_engine* e = vm_engine_create(write(model).c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(vm_engine_infer(nullptr, "hi", 4, nullptr, nullptr), -1);
    EXPECT_EQ(vm_engine_infer(e, nullptr, 4, nullptr, nullptr), -1);
    EXPECT_EQ(vm_engine_infer(e, "", 4, nullptr, nullptr), 0);
    EXPECT_EQ(vm_engine_infer(e, "hello", -3, nullptr, nullptr), 0);

    // More tokens than the context holds: refused rather than an empty answer.
    std::string longPrompt;
    for (int i = 0; i < 4100; ++i) longPrompt += "7";
    StderrCapture err;
    EXPECT_EQ(vm_engine_infer(e, longPrompt.c_str(), 4, nullptr, nullptr), -1);
    EXPECT_EQ(err.text(), "[vm-engine] infer failed: VMEngine: prompt of 4100 tokens exceeds the context of 4096\n");
    vm_engine_free(e);
    vm_engine_free(nullptr);

    // A vocabulary without some byte symbol encodes it as -1, which must not
    // reach the embedding lookup; so must an id beyond the embedding's rows.
    QwenModel partial(QwenShape{});
    partial.tokens['z'] = "<no-z>";
    vm_engine* p = vm_engine_create(partial.writer().write(dir_.file("partial.gguf")).c_str());
    StderrCapture err2;
    EXPECT_EQ(vm_engine_infer(p, "zz", 4, nullptr, nullptr), -1);
    EXPECT_EQ(err2.text(), "[vm-engine] infer failed: VMEngine: prompt token -1 outside the vocabulary of 320\n");
    vm_engine_free(p);
}

TEST_F(VMEngineTest, DetokDecodesByteSymbolsAndSpecialTokens) {
    QwenModel model(QwenShape{});
    model.tokens[300] = "<|im_end|>";
    model.tokens[301] = "\xC4\xA0hi\xF8\x80\x80\x80x"; // an unusual lead reads as a four-byte character
    model.tokens[302] = "ab\xE4\xB8";                  // cut off
    VMEngine e(model.writer().write(dir_.file("m.gguf")));
    EXPECT_EQ(e.detok_id(300), "<|im_end|>");
    EXPECT_EQ(e.detok_id(301), " hix");
    EXPECT_EQ(e.detok_id(302), "ab");
    EXPECT_EQ(e.detok_id(-1), "");
    EXPECT_EQ(e.detok_id(320), "");
    EXPECT_EQ(e.stop_tokens, (std::vector<int32_t>{151643, 151645}));
}

namespace {

// Lowers this thread's lock limit to nothing and drops the capability that
// bypasses it, as for an ordinary user whose limit is too small.
class LockRefused {
public:
    LockRefused() {
        getrlimit(RLIMIT_MEMLOCK, &old_);
        struct rlimit none = {0, old_.rlim_max};
        setrlimit(RLIMIT_MEMLOCK, &none);
        if (syscall(SYS_capget, &header_, data_) == 0) {
            saved_ = data_[0].effective;
            data_[0].effective &= ~(1u << CAP_IPC_LOCK);
            syscall(SYS_capset, &header_, data_);
        }
    }
    ~LockRefused() {
        data_[0].effective = saved_;
        syscall(SYS_capset, &header_, data_);
        setrlimit(RLIMIT_MEMLOCK, &old_);
    }

private:
    struct rlimit old_ {};
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data_[2]{};
    uint32_t saved_ = 0;
};

} // namespace

TEST_F(VMEngineTest, MemoryLockingIsBestEffort) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtimes turn mlock into a no-op that always succeeds";
#endif
    QwenShape shape;
    shape.vocab = 8192; // a 2 MB embedding, so that refused bytes show in the line
    QwenModel model(shape);
    std::string path = write(model);
    {
        EnvVar lowRam("VIVIROV_LOW_RAM", "1");
        EnvVar lock("VIVIROV_VM_MLOCK", nullptr);
        StderrCapture err;
        VMEngine e(path);
        EXPECT_EQ(err.text(), "[vm-engine] pin_resident: SKIPPED (VIVIROV_LOW_RAM=1 — weights left pageable)\n");
        EXPECT_TRUE(e.pinned.empty());
    }
    {
        StderrCapture err; // VIVIROV_VM_MLOCK=0 from the fixture
        VMEngine e(path);
        EXPECT_EQ(err.text(), "");
    }
    EnvVar lock("VIVIROV_VM_MLOCK", nullptr);
    {
        StderrCapture err;
        VMEngine e(path);
        EXPECT_EQ(e.pinned.size(), 1u + 7u * 2u);
        EXPECT_EQ(err.text(), "[vm-engine] pin_resident: wired 0.00 GB in 15 ranges (failed 0 MB)\n");
    }
    {
        LockRefused refused;
        StderrCapture err;
        vm_engine* e = vm_engine_create(path.c_str());
        ASSERT_NE(e, nullptr);
        EXPECT_TRUE(vm_engine_impl(e)->pinned.empty());
        EXPECT_EQ(err.text(), "[vm-engine] pin_resident: wired 0.00 GB in 0 ranges (failed 2 MB)\n");
        EXPECT_EQ(vm_engine_infer(e, "hello", 2, nullptr, nullptr), 2); // runs unlocked
        vm_engine_free(e);
    }
}

#include "VivirovVizivurad/Models/ModelCatalogue.h"

namespace vivirov {

namespace {
// The individual publisher of most of the GGUF conversions offered.
const char* const kPublisher = "bartowski";
const char* const kCommunity = "lmstudio-community";
} // namespace

const std::vector<ModelRef>& modelCatalogue() {
    static const std::vector<ModelRef> catalogue = {
        {"Qwen2.5 0.5B Instruct (Q4_K_M)", kPublisher, "Qwen2.5-0.5B-Instruct-GGUF",
         "Qwen2.5-0.5B-Instruct-Q4_K_M.gguf", 398000000, ModelFit::fast},
        {"Qwen2.5 1.5B Instruct (Q8_0)", kPublisher, "Qwen2.5-1.5B-Instruct-GGUF",
         "Qwen2.5-1.5B-Instruct-Q8_0.gguf", 1890000000, ModelFit::fast},
        {"gemma-2 2B it (Q4_K_M)", kPublisher, "gemma-2-2b-it-GGUF", "gemma-2-2b-it-Q4_K_M.gguf", 1710000000,
         ModelFit::fast},
        {"Qwen2.5 3B Instruct (Q4_K_M)", kPublisher, "Qwen2.5-3B-Instruct-GGUF",
         "Qwen2.5-3B-Instruct-Q4_K_M.gguf", 1930000000, ModelFit::fast},
        {"Llama 3.2 3B Instruct (Q4_K_M)", kPublisher, "Llama-3.2-3B-Instruct-GGUF",
         "Llama-3.2-3B-Instruct-Q4_K_M.gguf", 2019000000, ModelFit::fast},
        {"Phi-4 mini Instruct (Q4_K_M)", kPublisher, "Phi-4-mini-instruct-GGUF",
         "Phi-4-mini-instruct-Q4_K_M.gguf", 2490000000, ModelFit::fast},
        {"Llama 3.1 8B Instruct (Q8_0) \xE2\x98\x85 recommended", kCommunity, "Meta-Llama-3.1-8B-Instruct-GGUF",
         "Meta-Llama-3.1-8B-Instruct-Q8_0.gguf", 8540000000, ModelFit::fits},
        {"Llama 3.1 8B Instruct (Q4_K_M)", kCommunity, "Meta-Llama-3.1-8B-Instruct-GGUF",
         "Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf", 4920000000, ModelFit::fits},
        {"Qwen2.5 7B Instruct (Q4_K_M)", kPublisher, "Qwen2.5-7B-Instruct-GGUF",
         "Qwen2.5-7B-Instruct-Q4_K_M.gguf", 4680000000, ModelFit::fits},
        {"Qwen2.5 Coder 7B Instruct (Q4_K_M)", kPublisher, "Qwen2.5-Coder-7B-Instruct-GGUF",
         "Qwen2.5-Coder-7B-Instruct-Q4_K_M.gguf", 4680000000, ModelFit::fits},
        {"gemma-2 9B it (Q4_K_M)", kPublisher, "gemma-2-9b-it-GGUF", "gemma-2-9b-it-Q4_K_M.gguf", 5760000000,
         ModelFit::fits},
        {"DeepSeek-R1 Distill Qwen 7B (Q4_K_M)", kPublisher, "DeepSeek-R1-Distill-Qwen-7B-GGUF",
         "DeepSeek-R1-Distill-Qwen-7B-Q4_K_M.gguf", 4680000000, ModelFit::experimental},
    };
    return catalogue;
}

} // namespace vivirov

#pragma once
// Shared by the forward-object tests: the tiny DeepSeek-V4 models, written
// once per process, and forward objects built from them on the CPU route.
#include <memory>
#include <string>

#include "engine/zov4/zov4_forward.h"
#include "tests/support/DeepSeekV4Fixture.h"

namespace vivirov::test {

// A model written once per process per name; `options` is used on the first
// call only.
const DeepSeekV4Model& sharedDeepSeekV4Model(const std::string& name, const DeepSeekV4Options& options = {});

// A forward object that computes on the CPU only (use_gpu cleared).
std::unique_ptr<vm::zov4::ZOV4Forward> cpuForward(const std::string& path);

// The tensor's values decoded to single precision.
std::vector<float> decoded(const GGUFTensor& t);

} // namespace vivirov::test

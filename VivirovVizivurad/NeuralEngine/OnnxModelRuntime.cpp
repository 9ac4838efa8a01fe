#include "VivirovVizivurad/NeuralEngine/OnnxModelRuntime.h"

#ifdef VIVIROV_HAVE_ONNXRUNTIME
#include <dlfcn.h>
#include <onnxruntime_c_api.h>

#include <vector>
#endif

namespace vivirov {

OnnxModelRuntime& OnnxModelRuntime::shared() {
    static OnnxModelRuntime* runtime = new OnnxModelRuntime();
    return *runtime;
}

bool OnnxModelRuntime::isAvailable() const { return open(); }

std::string OnnxModelRuntime::unavailableReason() const {
    open();
    return reason_;
}

#ifndef VIVIROV_HAVE_ONNXRUNTIME

bool OnnxModelRuntime::isBuiltIn() { return false; }

bool OnnxModelRuntime::open() const {
    std::call_once(opened_, [this] { reason_ = "no model runtime: built without ONNX Runtime"; });
    return false;
}

std::shared_ptr<NeuralModel> OnnxModelRuntime::load(const std::string&, const std::string&, const std::string&,
                                                    std::string& error) {
    error = unavailableReason();
    return nullptr;
}

#else

bool OnnxModelRuntime::isBuiltIn() { return true; }

namespace {

// The library's function table and the one environment every session shares;
// both live for the rest of the process once opened.
const OrtApi* ort = nullptr;
OrtEnv* ortEnv = nullptr;

// Takes ownership of `status`; true when it reports success, otherwise its
// message goes to `error`.
bool succeeded(OrtStatus* status, std::string& error) {
    if (!status) return true;
    error = ort->GetErrorMessage(status);
    ort->ReleaseStatus(status);
    return false;
}

class OnnxModel final : public NeuralModel {
public:
    OnnxModel(OrtSession* session, std::string inputName, std::string outputName, bool hasOutput)
        : session_(session), inputName_(std::move(inputName)), outputName_(std::move(outputName)),
          hasOutput_(hasOutput) {}
    ~OnnxModel() override { ort->ReleaseSession(session_); }

    NeuralModelResult run(const float* input, size_t count) override {
        NeuralModelResult result;
        if (!hasOutput_) {
            result.status = NeuralModelResult::Status::missingOutput;
            return result;
        }
        OrtMemoryInfo* memory = nullptr;
        if (!succeeded(ort->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory), result.error))
            return result;
        // The runtime only reads the input; its API takes a mutable pointer.
        std::vector<float> data(input, input + count);
        const int64_t shape[2] = {1, int64_t(count)};
        OrtValue* inputValue = nullptr;
        OrtValue* outputValue = nullptr;
        bool ok = succeeded(ort->CreateTensorWithDataAsOrtValue(memory, data.data(), data.size() * sizeof(float),
                                                                shape, 2, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
                                                                &inputValue),
                            result.error);
        const char* inputNames[] = {inputName_.c_str()};
        const char* outputNames[] = {outputName_.c_str()};
        if (ok)
            ok = succeeded(ort->Run(session_, nullptr, inputNames, &inputValue, 1, outputNames, 1, &outputValue),
                           result.error);
        if (ok) readOutput(outputValue, result);
        if (outputValue) ort->ReleaseValue(outputValue);
        if (inputValue) ort->ReleaseValue(inputValue);
        ort->ReleaseMemoryInfo(memory);
        return result;
    }

private:
    static void readOutput(OrtValue* value, NeuralModelResult& result) {
        int isTensor = 0;
        if (!succeeded(ort->IsTensor(value, &isTensor), result.error)) return;
        OrtTensorTypeAndShapeInfo* info = nullptr;
        if (!isTensor || !succeeded(ort->GetTensorTypeAndShape(value, &info), result.error)) {
            if (!isTensor) result.status = NeuralModelResult::Status::missingOutput;
            return;
        }
        ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
        size_t count = 0;
        bool ok = succeeded(ort->GetTensorElementType(info, &type), result.error) &&
                  succeeded(ort->GetTensorShapeElementCount(info, &count), result.error);
        ort->ReleaseTensorTypeAndShapeInfo(info);
        if (!ok) return;
        void* data = nullptr;
        if (count > 0 && !succeeded(ort->GetTensorMutableData(value, &data), result.error)) return;
        if (type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
            const float* floats = static_cast<const float*>(data);
            result.values.assign(floats, floats + count);
        } else if (type == ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE) {
            const double* doubles = static_cast<const double*>(data);
            result.values.assign(doubles, doubles + count);
        } else {
            result.status = NeuralModelResult::Status::missingOutput;
            return;
        }
        result.status = NeuralModelResult::Status::ok;
    }

    OrtSession* session_;
    std::string inputName_;
    std::string outputName_;
    bool hasOutput_;
};

// Whether the session has an output called `name`.
bool hasOutputNamed(OrtSession* session, const std::string& name, std::string& error) {
    OrtAllocator* allocator = nullptr;
    size_t count = 0;
    if (!succeeded(ort->GetAllocatorWithDefaultOptions(&allocator), error) ||
        !succeeded(ort->SessionGetOutputCount(session, &count), error))
        return false;
    bool found = false;
    for (size_t i = 0; i < count && !found; ++i) {
        char* outputName = nullptr;
        if (!succeeded(ort->SessionGetOutputName(session, i, allocator, &outputName), error)) return false;
        found = name == outputName;
        std::string ignored;
        succeeded(ort->AllocatorFree(allocator, outputName), ignored);
    }
    return found;
}

} // namespace

bool OnnxModelRuntime::open() const {
    std::call_once(opened_, [this] {
        // The library fetched beside the sources, else one the loader finds.
        void* library = dlopen(VIVIROV_ONNXRUNTIME_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library) library = dlopen("libonnxruntime.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char* why = dlerror();
            reason_ = std::string("ONNX Runtime library not found: ") + (why ? why : "unknown error");
            return;
        }
        using GetApiBase = const OrtApiBase* (*)();
        auto getApiBase = reinterpret_cast<GetApiBase>(dlsym(library, "OrtGetApiBase"));
        const OrtApiBase* base = getApiBase ? getApiBase() : nullptr;
        const OrtApi* api = base ? base->GetApi(ORT_API_VERSION) : nullptr;
        if (!api) {
            reason_ = std::string("ONNX Runtime library ") + (base ? base->GetVersionString() : "") +
                      " lacks API version " + std::to_string(ORT_API_VERSION);
            return;
        }
        ort = api;
        std::string error;
        if (!succeeded(ort->CreateEnv(ORT_LOGGING_LEVEL_ERROR, "vivirov", &ortEnv), error)) {
            reason_ = "ONNX Runtime environment failed: " + error;
            ortEnv = nullptr;
        }
    });
    return ortEnv != nullptr;
}

std::shared_ptr<NeuralModel> OnnxModelRuntime::load(const std::string& path, const std::string& inputName,
                                                    const std::string& outputName, std::string& error) {
    if (!open()) {
        error = reason_;
        return nullptr;
    }
    OrtSessionOptions* options = nullptr;
    if (!succeeded(ort->CreateSessionOptions(&options), error)) return nullptr;
    OrtSession* session = nullptr;
    bool ok = succeeded(ort->CreateSession(ortEnv, path.c_str(), options, &session), error);
    ort->ReleaseSessionOptions(options);
    if (!ok) return nullptr;
    error.clear();
    bool hasOutput = hasOutputNamed(session, outputName, error);
    if (!error.empty()) {
        ort->ReleaseSession(session);
        return nullptr;
    }
    return std::make_shared<OnnxModel>(session, inputName, outputName, hasOutput);
}

#endif

} // namespace vivirov

#pragma once
// A model runtime for tests: loads succeed or fail as told, and each model
// answers with fixed values, a missing output or an error, optionally held at
// a gate until the test opens it.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VivirovVizivurad/NeuralEngine/NeuralModelRuntime.h"

namespace vivirov::test {

class FakeNeuralModel final : public NeuralModel {
public:
    explicit FakeNeuralModel(NeuralModelResult answer) : answer_(std::move(answer)) {}

    NeuralModelResult run(const float* input, size_t count) override {
        {
            std::unique_lock lock(mutex_);
            inputs_.emplace_back(input, input + count);
            threads_.push_back(std::this_thread::get_id());
            ++waiting_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return !gated_; });
            --waiting_;
        }
        runs_.fetch_add(1);
        return answer_;
    }

    // While closed, runs wait inside the model.
    void closeGate() {
        std::lock_guard lock(mutex_);
        gated_ = true;
    }
    void openGate() {
        std::lock_guard lock(mutex_);
        gated_ = false;
        changed_.notify_all();
    }
    // Waits until a run is held at the gate.
    void waitForHeldRun() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return waiting_ > 0; });
    }
    int runs() const { return runs_.load(); }
    std::vector<std::vector<float>> inputs() const {
        std::lock_guard lock(mutex_);
        return inputs_;
    }
    std::vector<std::thread::id> threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    NeuralModelResult answer_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool gated_ = false;
    int waiting_ = 0;
    std::atomic<int> runs_{0};
    std::vector<std::vector<float>> inputs_;
    std::vector<std::thread::id> threads_;
};

inline NeuralModelResult answerWith(std::vector<float> values) {
    return {NeuralModelResult::Status::ok, std::move(values), ""};
}

// Installed as the process runtime for its lifetime. Every load hands out
// `model` (or fails with `loadError` when set) and records what was asked.
class FakeNeuralRuntime final : public NeuralModelRuntime {
public:
    FakeNeuralRuntime() { NeuralModelRuntime::setCurrent(this); }
    ~FakeNeuralRuntime() override { NeuralModelRuntime::setCurrent(nullptr); }

    bool isAvailable() const override { return true; }
    std::shared_ptr<NeuralModel> load(const std::string& path, const std::string& inputName,
                                      const std::string& outputName, std::string& error) override {
        std::lock_guard lock(mutex_);
        loads.push_back(path + " " + inputName + "->" + outputName);
        if (!loadError.empty()) {
            error = loadError;
            return nullptr;
        }
        return model;
    }

    std::shared_ptr<FakeNeuralModel> model;
    std::string loadError;
    std::vector<std::string> loads;

private:
    std::mutex mutex_;
};

} // namespace vivirov::test

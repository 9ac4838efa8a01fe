#pragma once
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "VivirovKit/Providers/HTTPSession.h"

namespace vivirov {

// One model download on the calling (worker) thread: the body goes to a
// partial file in `partialDir` (on the models folder's file system), and only
// a complete, checked GGUF file is renamed onto `destination`, so an existing
// model is replaced in one step or not at all. Nothing partial survives.
class ModelTransfer {
public:
    struct Outcome {
        enum class Kind { placed, failed, cancelled };
        Kind kind = Kind::failed;
        std::string failure; // why, for `failed`
    };

    // Pause between attempts while the hub cannot be reached at all.
    static constexpr uint64_t kReconnectNanos = 2'000'000'000;

    static Outcome run(HTTPSession& session, const HTTPRequest& request, const std::string& partialDir,
                       const std::string& destination, std::stop_token stop,
                       const HTTPSession::OnProgress& onProgress);
};

} // namespace vivirov

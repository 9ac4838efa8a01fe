#include "VivirovVizivurad/Models/ModelTransfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Paths.h"

namespace vivirov {

namespace {

using Kind = ModelTransfer::Outcome::Kind;

ModelTransfer::Outcome failed(std::string why) { return {Kind::failed, std::move(why)}; }

std::string transportFailure(const TransportError& error) {
    switch (error.code()) {
    case TransportError::Code::cannotConnect: return "Could not reach the model hub.";
    case TransportError::Code::timedOut: return "The model hub stopped sending data (timed out).";
    case TransportError::Code::connectionLost: return "The connection to the model hub was lost part-way.";
    default: return std::string("The download failed: ") + error.what();
    }
}

// The partial file: removed when the transfer ends without placing it.
struct PartialFile {
    std::string path;
    int fd = -1;
    ~PartialFile() {
        if (fd >= 0) ::close(fd);
        if (!path.empty()) ::unlink(path.c_str());
    }
};

bool hasGGUFMagic(int fd) {
    char magic[4] = {};
    return ::pread(fd, magic, 4, 0) == 4 && std::memcmp(magic, "GGUF", 4) == 0;
}

} // namespace

ModelTransfer::Outcome ModelTransfer::run(HTTPSession& session, const HTTPRequest& request,
                                          const std::string& partialDir, const std::string& destination,
                                          std::stop_token stop, const HTTPSession::OnProgress& onProgress) {
    paths::ensureDirectory(partialDir);
    PartialFile partial;
    std::string pattern = partialDir + "/download-XXXXXX";
    partial.fd = ::mkstemp(pattern.data());
    if (partial.fd < 0) return failed(std::string("Could not create the download file: ") + std::strerror(errno));
    partial.path = pattern;

    const uint64_t start = Clock::current().uptimeNanos();
    const uint64_t limit = uint64_t(session.configuration().resourceTimeout * 1e9);
    HTTPDownloadResult result;
    for (;;) {
        try {
            result = session.download(request, stop, partial.fd, onProgress);
            break;
        } catch (const CancellationError&) {
            return {Kind::cancelled, {}};
        } catch (const TransportError& error) {
            // Waiting for the network: an unreachable hub is tried again
            // until the whole transfer's time runs out.
            const bool unreachable = error.code() == TransportError::Code::cannotConnect;
            if (!unreachable || Clock::current().uptimeNanos() - start >= limit) return failed(transportFailure(error));
            if (!Clock::current().sleepFor(kReconnectNanos, stop)) return {Kind::cancelled, {}};
            if (::ftruncate(partial.fd, 0) != 0 || ::lseek(partial.fd, 0, SEEK_SET) != 0)
                return failed(std::string("Could not write the download: ") + std::strerror(errno));
        } catch (const std::system_error& error) {
            return failed(std::string("Could not write the download: ") + error.code().message());
        }
    }
    if (stop.stop_requested()) return {Kind::cancelled, {}};

    if (result.status < 200 || result.status > 299) {
        std::string why = "The model hub answered HTTP " + std::to_string(result.status) + ".";
        if (result.status == 401 || result.status == 403) why += " Check the hub token.";
        return failed(why);
    }
    if (result.expectedBytes >= 0 && result.receivedBytes != result.expectedBytes)
        return failed("The download ended after " + std::to_string(result.receivedBytes) + " of " +
                      std::to_string(result.expectedBytes) + " bytes.");
    if (!hasGGUFMagic(partial.fd)) return failed("The downloaded file is not a GGUF model.");
    if (::fsync(partial.fd) != 0)
        return failed(std::string("Could not write the download: ") + std::strerror(errno));
    ::close(partial.fd);
    partial.fd = -1;
    if (::rename(partial.path.c_str(), destination.c_str()) != 0)
        return failed(std::string("Could not place the model file: ") + std::strerror(errno));
    partial.path.clear();
    return {Kind::placed, {}};
}

} // namespace vivirov

#pragma once
// Splits a byte stream that arrives in arbitrary reads into lines ended by LF,
// CR or CR LF. A CR at the end of one read followed by an LF at the start of
// the next is one line end, not an extra blank line. Blank lines are lines.
#include <cstring>
#include <string>
#include <string_view>

namespace vivirov {

class LineSplitter {
public:
    // Calls `onLine(line)` for each completed line, without its terminator and
    // decoded as UTF-8 (invalid sequences replaced by U+FFFD). Stops early and
    // returns false as soon as onLine returns false.
    template <class OnLine>
    bool push(std::string_view bytes, OnLine&& onLine) {
        size_t i = 0;
        if (pendingCR_ && !bytes.empty()) {
            pendingCR_ = false;
            if (bytes.front() == '\n') i = 1;
        }
        while (i < bytes.size()) {
            size_t end = findLineEnd(bytes, i);
            if (end == std::string_view::npos) {
                partial_.append(bytes.substr(i));
                return true;
            }
            bool keepGoing;
            if (partial_.empty()) {
                keepGoing = deliver(bytes.substr(i, end - i), onLine);
            } else {
                partial_.append(bytes.substr(i, end - i));
                keepGoing = deliver(partial_, onLine);
                partial_.clear();
            }
            if (bytes[end] == '\r') {
                if (end + 1 == bytes.size()) pendingCR_ = true;
                else if (bytes[end + 1] == '\n') ++end;
            }
            i = end + 1;
            if (!keepGoing) return false;
        }
        return true;
    }

    // The end of the stream: a last line without terminator is delivered
    // when it is not empty.
    template <class OnLine>
    bool finish(OnLine&& onLine) {
        pendingCR_ = false;
        if (partial_.empty()) return true;
        std::string last = std::move(partial_);
        partial_.clear();
        return deliver(last, onLine);
    }

private:
    // The first CR or LF at or after `from`: two vectorised byte searches
    // instead of a per-byte test against a set.
    static size_t findLineEnd(std::string_view bytes, size_t from) {
        const char* base = bytes.data();
        size_t length = bytes.size() - from;
        const void* lf = std::memchr(base + from, '\n', length);
        size_t limit = lf ? size_t(static_cast<const char*>(lf) - (base + from)) : length;
        const void* cr = std::memchr(base + from, '\r', limit);
        if (cr) return size_t(static_cast<const char*>(cr) - base);
        return lf ? size_t(static_cast<const char*>(lf) - base) : std::string_view::npos;
    }

    template <class OnLine>
    static bool deliver(std::string_view line, OnLine& onLine) {
        if (isValid(line)) return onLine(line);
        std::string decoded = decodeLossy(line);
        return onLine(std::string_view(decoded));
    }
    static bool isValid(std::string_view line);
    static std::string decodeLossy(std::string_view line);

    std::string partial_;
    bool pendingCR_ = false;
};

} // namespace vivirov

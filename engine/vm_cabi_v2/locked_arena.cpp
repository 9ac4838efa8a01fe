#include "vm_cabi_v2/locked_arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/engine_log.h"
#include "vm_cabi_v2/expert_slice.h"

namespace vm {

namespace {

constexpr int kWidth = 76; // frame width in columns
const char* kRed = "\x1b[1;31m";
const char* kReset = "\x1b[0m";

std::string rule(const char* left, const char* right) {
    std::string s = std::string(kRed) + left;
    for (int i = 0; i < kWidth - 2; ++i) s += "═";
    return s + right + kReset + "\n";
}

// Columns of a text: code points outside escape sequences.
size_t columns(const std::string& s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == 0x1b) {
            while (i < s.size() && s[i] != 'm') ++i;
            continue;
        }
        if ((uint8_t(s[i]) & 0xC0) != 0x80) ++n;
    }
    return n;
}

// A content line: the frame, a blank, `styled`, blanks up to the right frame.
std::string line(const std::string& styled) {
    const size_t visible = columns(styled);
    std::string s = std::string(kRed) + "║" + kReset + " " + styled;
    for (size_t i = visible + 1; i < size_t(kWidth - 2); ++i) s += ' ';
    return s + kRed + "║" + kReset + "\n";
}

std::string plain(const std::string& t) { return line(t); }

std::string span(const char* code, const std::string& t) { return std::string("\x1b[") + code + "m" + t + kReset; }

} // namespace

std::string saturation_banner(int err, size_t size) {
    char buf[160];
    std::string out = "\n" + rule("╔", "╗");
    const std::string title = "VIVIROV-VIZIVURAD: PHYSICAL MEMORY SATURATION — mlock() DENIED";
    out += line(span("1;37", title));
    out += rule("╠", "╣");
    std::snprintf(buf, sizeof buf, "errno=%d (%s)", err, err == EAGAIN ? "EAGAIN" : "ENOMEM");
    out += line(span("33", buf));
    char gib[64], bytes[64];
    std::snprintf(gib, sizeof gib, "%.2f GiB", double(size) / 1073741824.0);
    std::snprintf(bytes, sizeof bytes, " (%zu bytes)", size);
    const std::string req = "Requested wired ring: ";
    out += line(req + span("1;36", gib) + bytes);
    out += plain("");
    const std::string cause = " Linux physical RAM is saturated. The kernel refused to";
    out += line(span("1;37", "ROOT CAUSE:") + cause);
    out += plain("instantly freeze/swap background apps to wire this region. This is NOT");
    out += line("a " + span("2", "vm.user_wire_limit") + " ceiling breach — it is physical memory pressure.");
    out += plain("");
    out += line(span("1;37", "FIX (choose one):"));
    const std::string i1 = " Run the bootloader: ", c1 = "./ignite_engine.sh";
    out += line("  " + span("1;32", "1.") + i1 + span("1;36", c1));
    const std::string i2 = " Or manually purge: ", c2 = "sudo sysctl vm.drop_caches=3", t2 = " (then retry)";
    out += line("  " + span("1;32", "2.") + i2 + span("1;36", c2) + t2);
    const std::string i3 = " Close memory-heavy apps (VS Code, Node, Python, browsers).";
    out += line("  " + span("1;32", "3.") + i3);
    out += rule("╚", "╝");
    return out + "\n";
}

LockedArena::LockedArena(size_t n, bool, bool strict) {
    void* p = nullptr;
    if (::posix_memalign(&p, kAlign, n ? n : kAlign) != 0) return;
    base = p;
    size = n;
    owned = true;
    ::madvise(base, n, MADV_WILLNEED);
    mlock_rc = ::mlock(base, n);
    if (mlock_rc != 0) mlock_errno = errno;
    if (mlock_rc == 0 || !strict) return;
    const int err = mlock_errno;
    std::free(base);
    base = nullptr;
    if (err == EAGAIN || err == ENOMEM) {
        const std::string banner = saturation_banner(err, n);
        (void)!::write(STDERR_FILENO, banner.data(), banner.size());
        throw UvmSetupError("LockedArena: mlock refused (" + std::string(err == EAGAIN ? "EAGAIN" : "ENOMEM") +
                            ") under strict_wire");
    }
    char msg[256];
    std::snprintf(msg, sizeof msg,
                  "[FATAL] LockedArena: mlock(%zu B) failed (errno=%d) under strict_wire — refusing to rely on "
                  "swap (guarantees panic). Aborting.",
                  n, err);
    log_line("%s", msg);
    throw UvmSetupError(msg);
}

LockedArena::~LockedArena() {
    if (!base) return;
    if (mlock_rc == 0) ::munlock(base, size);
    if (owned) std::free(base);
}

} // namespace vm

// Puts the process under the umockdev preload, re-executing it if needed.
#include "virtual_board.h"

#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vboard {

namespace {

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
constexpr const char* kReexecMarker = "VBOARD_PRELOAD_REEXEC";

#ifndef VBOARD_OPEN_GUARD
#define VBOARD_OPEN_GUARD ""
#endif
#ifndef VBOARD_OPEN_GUARD_FROM_BINDIR
#define VBOARD_OPEN_GUARD_FROM_BINDIR ""
#endif

// Where an install puts the guard beside this program (bin/../lib/...).
std::string installedOpenGuard() {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0 || !*VBOARD_OPEN_GUARD_FROM_BINDIR) return "";
    std::string path(self, size_t(length));
    return path.substr(0, path.rfind('/') + 1) + VBOARD_OPEN_GUARD_FROM_BINDIR;
}

// The installed guard first, so that an installed program never depends on
// the build tree it came from. The guard is optional: without it only
// refused opens cannot be modelled.
std::string openGuard() {
    for (const std::string& candidate : {installedOpenGuard(), std::string(VBOARD_OPEN_GUARD)}) {
        char resolved[PATH_MAX];
        if (!candidate.empty() && realpath(candidate.c_str(), resolved) && access(resolved, R_OK) == 0)
            return resolved;
    }
    return "";
}

bool preloads(const char* name) {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, name);
}

bool runsUnderPreload() {
    std::string guard = openGuard();
    return preloads("libumockdev-preload.so") && (guard.empty() || preloads(guard.c_str()));
}

// LD_PRELOAD entries other than ours, in their order.
std::string otherPreloads(const std::string& guard) {
    const char* existing = std::getenv("LD_PRELOAD");
    std::string rest;
    std::string list = existing ? existing : "";
    size_t at = 0;
    while (at <= list.size()) {
        size_t next = list.find_first_of(": ", at);
        if (next == std::string::npos) next = list.size();
        std::string entry = list.substr(at, next - at);
        bool ours = entry.empty() || entry.find("libumockdev-preload.so") != std::string::npos ||
                    entry.find("libasan.so") != std::string::npos ||
                    entry.find("libclang_rt.asan") != std::string::npos || (!guard.empty() && entry == guard);
        if (!ours) rest += ":" + entry;
        at = next + 1;
    }
    return rest;
}

// The AddressSanitizer runtime insists on coming first in LD_PRELOAD.
int findAsanRuntime(dl_phdr_info* info, size_t, void* out) {
    const char* name = info->dlpi_name;
    if (name && (std::strstr(name, "libasan.so") || std::strstr(name, "libclang_rt.asan"))) {
        *static_cast<std::string*>(out) = name;
        return 1;
    }
    return 0;
}

std::string asanRuntime() {
    std::string path;
    dl_iterate_phdr(findAsanRuntime, &path);
    return path;
}

} // namespace

void ensurePreload(int argc, char** argv) {
    (void)argc;
    if (runsUnderPreload()) return;
    if (std::getenv(kReexecMarker)) {
        std::fprintf(stderr, "vboard: %s did not load; is umockdev installed?\n", kPreloadLibrary);
        std::exit(127);
    }
    // Order matters: the sanitizer first, the guard's open() before umockdev's.
    std::string preload;
    std::string asan = asanRuntime();
    std::string guard = openGuard();
    if (!asan.empty()) preload = asan + ":";
    if (!guard.empty()) preload += guard + ":";
    preload += kPreloadLibrary;
    preload += otherPreloads(guard);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kReexecMarker, "1", 1);
    execv("/proc/self/exe", argv);
    std::perror("vboard: cannot re-execute under the umockdev preload");
    std::exit(127);
}

} // namespace vboard

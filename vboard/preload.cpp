// Puts the process under the umockdev preload, re-executing it if needed.
#include "virtual_board.h"

#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vboard {

namespace {

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
constexpr const char* kReexecMarker = "VBOARD_PRELOAD_REEXEC";

bool runsUnderPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload.so");
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
    std::string preload;
    std::string asan = asanRuntime();
    if (!asan.empty()) preload = asan + ":";
    preload += kPreloadLibrary;
    if (const char* existing = std::getenv("LD_PRELOAD"); existing && *existing) {
        preload += ":";
        preload += existing;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kReexecMarker, "1", 1);
    execv("/proc/self/exe", argv);
    std::perror("vboard: cannot re-execute under the umockdev preload");
    std::exit(127);
}

} // namespace vboard

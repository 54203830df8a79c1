/* Preloaded before umockdev's library: refuses to open the USB device nodes
 * a test lists in $UMOCKDEV_DIR/vboard-open-denied with EACCES, as the kernel
 * does for a user without the udev rule. Everything else passes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int denied(const char* path) {
    if (!path || strncmp(path, "/dev/bus/usb/", 13) != 0) return 0;
    const char* dir = getenv("UMOCKDEV_DIR");
    if (!dir) return 0;
    char listPath[4096];
    snprintf(listPath, sizeof listPath, "%s/vboard-open-denied", dir);
    FILE* list = fopen(listPath, "re");
    if (!list) return 0;
    char line[256];
    int found = 0;
    while (!found && fgets(line, sizeof line, list)) {
        line[strcspn(line, "\n")] = 0;
        found = strcmp(line, path) == 0;
    }
    fclose(list);
    return found;
}

static mode_t modeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

#define GUARD(name, ...)               \
    if (denied(path)) {                \
        errno = EACCES;                \
        return -1;                     \
    }                                  \
    static int (*next)(__VA_ARGS__);   \
    if (!next) next = (int (*)(__VA_ARGS__))dlsym(RTLD_NEXT, name);

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    GUARD("open", const char*, int, ...)
    return next(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    GUARD("open64", const char*, int, ...)
    return next(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    GUARD("openat", int, const char*, int, ...)
    return next(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    GUARD("openat64", int, const char*, int, ...)
    return next(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags) {
    GUARD("__open_2", const char*, int)
    return next(path, flags);
}

int __open64_2(const char* path, int flags) {
    GUARD("__open64_2", const char*, int)
    return next(path, flags);
}

// LD_PRELOAD library for the runner's tests: a file opened for writing whose path contains
// $FULL_DISK_PATH behaves as on a full disk (it is /dev/full instead), so every write to it
// fails with ENOSPC.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

static int full(const char *path, int flags) {
    const char *pattern = getenv("FULL_DISK_PATH");
    return pattern && *pattern && path && (flags & (O_WRONLY | O_RDWR)) &&
           strstr(path, pattern) != NULL;
}

int open(const char *path, int flags, ...) {
    static int (*real_open)(const char *, int, ...);
    if (!real_open)
        real_open = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (full(path, flags))
        return real_open("/dev/full", O_WRONLY | (flags & O_CLOEXEC));
    return real_open(path, flags, mode);
}

#include "trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

// Opens the trace named by CORPUS_TRACE; -1 when there is none.
static int open_trace() {
    const char *path = getenv("CORPUS_TRACE");
    if (path == nullptr || *path == '\0')
        return -1;
    int saved_errno = errno; // a failed open must not show in the program's errno
    int opened = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    errno = saved_errno;
    return opened;
}

// The trace's descriptor, or -1 when there is no trace: decided while the process starts,
// before `main` and so before any thread, and only read afterwards. (A function-local static
// would be thread-safe too, but through a guard that valgrind's race detectors do not
// understand, so they would report the recorder itself.)
static const int trace_descriptor = open_trace();

static int trace_fd() {
    return trace_descriptor;
}

// Appends `prefix` and `text` as one line with a single write(2), so that the lines of
// concurrent threads never interleave. Long events are cut to fit the line.
static void write_line(const char *prefix, const char *text) {
    int fd = trace_fd();
    if (fd < 0)
        return;
    int saved_errno = errno;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[512];
    int used = snprintf(line, sizeof line, "%lld %ld %s",
                        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                        static_cast<long>(gettid()), prefix);
    for (; *text != '\0' && used < static_cast<int>(sizeof line) - 1; ++text)
        line[used++] = *text == '\n' || *text == '\r' ? ' ' : *text;
    line[used++] = '\n';
    // The trace only watches the program: a full disk or a closed file must not turn into a
    // different output, exit status or errno of the program under test, whose run is what the
    // runner checks. A lost or short line shows up in the trace's analysis as a missing event
    // or a bad line instead.
    if (write(fd, line, used) < 0) {
    }
    errno = saved_errno;
}

// The runner's schedule noise (--perturb), when it is preloaded, delays the thread here: at the
// start and end of its library work and at its markers. Without it the call is left out.
extern "C" void corpus_perturb_point(void) __attribute__((weak));

void trace_event(const char *event) {
    if (corpus_perturb_point)
        corpus_perturb_point();
    write_line("", event);
}

void trace_mark(const char *text) {
    if (corpus_perturb_point)
        corpus_perturb_point();
    write_line("mark:", text);
}

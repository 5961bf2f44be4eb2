// Linked into every program: makes sure that a program whose standard output could not be
// written does not end with status 0 and nothing said.
//
// Before main, a closed standard stream (0, 1 or 2) is pointed at /dev/null, opened the
// opposite way round, so that its use fails; otherwise the first file the program opens would
// take the stream's descriptor, and standard output would silently land in that file. At exit,
// standard output is flushed, its error flag checked and the stream closed; a failure anywhere
// prints one line on standard error and turns status 0 into 1 (a non-zero status is kept).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

// Gives a closed descriptor `fd` of the standard streams to /dev/null, opened with `flags`.
static void occupy_if_closed(int fd, int flags) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
        return;
    // The lower standard descriptors are open by now, so open() takes the lowest free one: fd.
    int opened = open("/dev/null", flags);
    if (opened >= 0 && opened != fd) {
        dup2(opened, fd);
        close(opened);
    }
}

// Runs at exit, after the handlers registered later (the programs' own and their libraries'),
// which may still print.
static void check_stdout(int status, void *) {
    bool failed = ferror(stdout) != 0;
    int reason = 0; // unknown when the failed bytes are already gone from the stream's buffer
    errno = 0;
    if (fflush(stdout) != 0) {
        failed = true;
        reason = errno;
    }
    errno = 0;
    if (fclose(stdout) != 0) {
        failed = true;
        if (reason == 0)
            reason = errno;
    }
    if (!failed)
        return;
    if (reason != 0)
        fprintf(stderr, "%s: cannot write standard output: %s\n", program_invocation_short_name,
                strerror(reason));
    else
        fprintf(stderr, "%s: cannot write standard output\n", program_invocation_short_name);
    // exit() must not be called again from inside it.
    _exit(status != 0 ? status : EXIT_FAILURE);
}

__attribute__((constructor)) static void install_stdout_check() {
    occupy_if_closed(STDIN_FILENO, O_WRONLY);
    occupy_if_closed(STDOUT_FILENO, O_RDONLY);
    occupy_if_closed(STDERR_FILENO, O_RDONLY);
    // The C++ streams flush std::cout, and so standard output, when the earliest of their
    // initialisers is destroyed at exit. One made before the check is registered is destroyed
    // after it, so that the check's own flush meets the bytes still pending and learns why
    // they cannot be written.
    static std::ios_base::Init streams_outlive_the_check;
    on_exit(check_stdout, nullptr);
}

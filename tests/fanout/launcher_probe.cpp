// A minimal launcher program for the launcher's own tests: each worker bumps a counter under
// `lock` and prints one marker line, so that a test can see that every started worker ran to
// its end before the process exited. With --hold-file it first opens "held.txt" and keeps it
// open to the end, as a program keeps its output file.
#include "fanout.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static int finished = 0;

static void *probe_worker(void *arg) {
    usleep(20000); // long enough that a launcher that did not wait would cut the worker off
    guard_enter();
    ++finished;
    printf("%s %s\n", open_marker, static_cast<const char *>(arg));
    guard_leave();
    return nullptr;
}

int main(int argc, char **argv) {
    static char tag[] = "worker";
    pthread_t threads[worker_count];
    bool report = argc > 1 && strcmp(argv[1], "--report") == 0;
    if (argc > 1 && strcmp(argv[1], "--hold-file") == 0 &&
        open("held.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644) < 0)
        return 2;
    launch_workers(threads, probe_worker, tag, report);
    join_workers(threads);
    printf("finished %d\n", finished);
    return 0;
}

// xml_fanout_locked / xml_fanout_unlocked: ten workers each parse "FirstTest.xml" and print its
// outline, serialized by `lock` or not (FANOUT_SERIALIZED).
#include "fanout.h"
#include "parse.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct parse_args_t {
    char *buff;
    uint64_t buff_size;
};

// Results handed to pthread_exit; they outlive every worker.
static int result_parsed = 0;
static int result_no_file = 1;

static void *parse_xml(void *arg) {
    const parse_args_t *args = static_cast<const parse_args_t *>(arg);
    char *buff = args->buff;
    FILE *stream = fopen(document_name, "r");
    if (!stream) {
        puts("Failed to open file");
        pthread_exit(&result_no_file);
    }
    guard_enter();
    cout_line(open_marker, false);
    if (!serialized) {
        // Unserialized workers parse at the same time: each gets a buffer of its own instead of
        // sharing the one of `main`.
        buff = static_cast<char *>(malloc(args->buff_size));
    }
    if (buff) {
        parse_stream(stream, buff, args->buff_size);
    } else {
        printf("Error: %s\n", "out of memory for the parse buffer");
        fclose(stream);
    }
    if (!serialized)
        free(buff);
    guard_leave();
    cout_line(close_marker, false);
    pthread_exit(&result_parsed);
}

int main() {
    static char buff[100000];
    parse_args_t args{buff, sizeof buff};
    pthread_t threads[worker_count];
    launch_workers(threads, parse_xml, &args, true);
    join_workers(threads);
    return 0;
}

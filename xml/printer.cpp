#include "printer.h"

#include "contract.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The printer state: nesting depth over every parse run so far, and the latest run of
// character data. One copy per process; the unserialized variant (whose parses run
// concurrently without a lock) keeps one copy per thread instead.
#ifndef CORPUS_VARIANT
#error "printer.cpp is built as one variant: define CORPUS_VARIANT"
#endif
#if CORPUS_VARIANT == CORPUS_VARIANT_UNSERIALIZED
#define PRINTER_PER_THREAD 1
#define PRINTER_STORAGE thread_local
#else
#define PRINTER_PER_THREAD 0
#define PRINTER_STORAGE
#endif

static PRINTER_STORAGE int depth = 0;
static PRINTER_STORAGE char *last_content = nullptr;

#if PRINTER_PER_THREAD
// Releases a thread's last copy when the thread ends; the process-wide copy lives as long as
// the process.
struct content_release_t {
    ~content_release_t() {
        free(last_content);
    }
};
static thread_local content_release_t release_at_thread_end;
#endif

static void indent() {
    for (int i = 0; i < depth; ++i)
        putchar(' ');
}

// Each line is printed with several stdio calls; holding the stream's own lock across them keeps
// other threads' output (the launcher's lines, another parse) from landing inside the line.
void start_element(void *, const XML_Char *name, const XML_Char **attributes) {
    flockfile(stdout);
    indent();
    printf("%s", name);
    for (int i = 0; attributes[i]; i += 2)
        printf(" %s= '%s'", attributes[i], attributes[i + 1]);
    putchar('\n');
    funlockfile(stdout);
    ++depth;
}

void end_element(void *, const XML_Char *name) {
    flockfile(stdout);
    indent();
    // No character data seen yet in this process: the content is the empty string.
    printf("Content of element %s was \"%s\"\n", name, last_content ? last_content : "");
    funlockfile(stdout);
    --depth;
}

void handle_data(void *, const XML_Char *text, int len) {
    if (len < 0)
        return;
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
    if (!copy)
        return; // keep the previous content
    strncpy(copy, text, static_cast<size_t>(len));
    copy[len] = '\0';
    free(last_content);
    last_content = copy;
#if PRINTER_PER_THREAD
    (void)&release_at_thread_end; // constructs this thread's release on first use
#endif
}

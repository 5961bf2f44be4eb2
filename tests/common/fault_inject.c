/* LD_PRELOAD library that makes chosen library calls fail on demand, for the tests of the
 * failure paths. Each wrapped call reads its own environment variable, FAULT_<NAME>=N: the
 * N-th call (counting from 1) fails; "all" makes every call fail. Unset, the call goes through.
 *
 * pthread_create counts only the calls made on the process's main thread, since libraries
 * (the OpenMP runtime, GLib) start threads of their own from other threads at times the test
 * cannot predict; FAULT_PTHREAD_CREATE_OFF_MAIN counts the others (a worker's own thread).
 * To add a call: declare its real type, add one wrapper with FAULT_WRAP. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

/* Decides whether this call (counted in *counter) must fail, from the variable `name`. */
static int should_fail(const char *name, atomic_int *counter) {
    const char *v = getenv(name);
    if (!v || !*v)
        return 0;
    int n = atomic_fetch_add(counter, 1) + 1;
    if (strcmp(v, "all") == 0)
        return 1;
    return atoi(v) == n;
}

static void *real(const char *symbol) {
    return dlsym(RTLD_NEXT, symbol);
}

/* ---- threads ---- */

typedef int (*pthread_create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg) {
    static atomic_int calls, off_main_calls;
    if ((pid_t)syscall(SYS_gettid) == getpid()
            ? should_fail("FAULT_PTHREAD_CREATE", &calls)
            : should_fail("FAULT_PTHREAD_CREATE_OFF_MAIN", &off_main_calls))
        return EAGAIN;
    static pthread_create_fn next;
    if (!next)
        next = (pthread_create_fn)real("pthread_create");
    return next(t, a, fn, arg);
}

/* ---- memory ----
 * FAULT_CALLOC_BYTES=S (FAULT_MALLOC_BYTES=S) restricts failures to calls asking for S bytes
 * in all; FAULT_CALLOC (FAULT_MALLOC) then counts only those calls. The real allocator is a
 * sanitizer's when the program carries one (it must own every block, since it also frees
 * them), glibc's otherwise. Both are bound by the dynamic linker, not looked up with dlsym,
 * which itself allocates. */

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__interceptor_malloc(size_t) __attribute__((weak));
extern void *__interceptor_calloc(size_t, size_t) __attribute__((weak));

static int sized_fault(const char *bytes_var, const char *count_var, size_t total,
                       atomic_int *calls) {
    const char *bytes = getenv(bytes_var);
    return bytes && (size_t)strtoull(bytes, NULL, 10) == total && should_fail(count_var, calls);
}

void *calloc(size_t n, size_t size) {
    static atomic_int calls;
    if (sized_fault("FAULT_CALLOC_BYTES", "FAULT_CALLOC", n * size, &calls))
        return NULL;
    return __interceptor_calloc ? __interceptor_calloc(n, size) : __libc_calloc(n, size);
}

void *malloc(size_t size) {
    static atomic_int calls;
    if (sized_fault("FAULT_MALLOC_BYTES", "FAULT_MALLOC", size, &calls))
        return NULL;
    return __interceptor_malloc ? __interceptor_malloc(size) : __libc_malloc(size);
}

/* ---- other libraries: a wrapper that fails by returning `fail_value` ---- */

#define FAULT_WRAP(ret, name, fail_value, params, args)                                            \
    ret name params {                                                                              \
        static atomic_int calls;                                                                   \
        if (should_fail("FAULT_" #name, &calls))                                                   \
            return fail_value;                                                                     \
        typedef ret(*fn_t) params;                                                                 \
        static fn_t next;                                                                          \
        if (!next)                                                                                 \
            next = (fn_t)real(#name);                                                              \
        return next args;                                                                          \
    }

/* zlib (Z_MEM_ERROR is -4, Z_STREAM_ERROR -2); declared loosely so zlib.h is not needed. */
typedef struct z_stream_s z_stream;
FAULT_WRAP(int, deflateInit_, -4, (z_stream * s, int level, const char *v, int size),
           (s, level, v, size))
FAULT_WRAP(int, deflateInit2_, -4,
           (z_stream * s, int level, int method, int bits, int mem, int strategy, const char *v,
            int size),
           (s, level, method, bits, mem, strategy, v, size))
FAULT_WRAP(int, deflate, -2, (z_stream * s, int flush), (s, flush))
FAULT_WRAP(int, inflateInit_, -4, (z_stream * s, const char *v, int size), (s, v, size))
FAULT_WRAP(int, inflate, -2, (z_stream * s, int flush), (s, flush))

/* expat: a parser that cannot be created. */
typedef struct XML_ParserStruct *XML_Parser;
FAULT_WRAP(XML_Parser, XML_ParserCreate, NULL, (const char *encoding), (encoding))

/* libcurl: no easy handle. */
FAULT_WRAP(void *, curl_easy_init, NULL, (void), ())

/* libpng: no write structure. Declared loosely so that png.h is not needed. */
FAULT_WRAP(void *, png_create_write_struct, NULL,
           (const char *version, void *error_ptr, void *error_fn, void *warn_fn),
           (version, error_ptr, error_fn, warn_fn))

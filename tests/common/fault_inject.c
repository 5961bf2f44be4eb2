/* LD_PRELOAD library that makes chosen library calls fail on demand, for the tests of the
 * failure paths. Each wrapped call reads its own environment variable, FAULT_<NAME>=N: the
 * N-th call (counting from 1) fails; "all" makes every call fail. Unset, the call goes through.
 *
 * pthread_create counts only the calls made on the process's main thread, since libraries
 * (the OpenMP runtime, GLib) start threads of their own from other threads at times the test
 * cannot predict. To add a call: declare its real type, add one wrapper with FAULT_WRAP. */
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
    static atomic_int calls;
    if ((pid_t)syscall(SYS_gettid) == getpid() && should_fail("FAULT_PTHREAD_CREATE", &calls))
        return EAGAIN;
    static pthread_create_fn next;
    if (!next)
        next = (pthread_create_fn)real("pthread_create");
    return next(t, a, fn, arg);
}

/* ---- memory ----
 * calloc may be called by dlsym itself, so it forwards to glibc's own entry and never looks
 * itself up. FAULT_CALLOC_BYTES=S restricts failures to calls asking for S bytes in all. */

extern void *__libc_calloc(size_t, size_t);

void *calloc(size_t n, size_t size) {
    static atomic_int calls;
    const char *bytes = getenv("FAULT_CALLOC_BYTES");
    if (bytes && (size_t)strtoull(bytes, NULL, 10) == n * size &&
        should_fail("FAULT_CALLOC", &calls))
        return NULL;
    return __libc_calloc(n, size);
}

/* ---- other libraries: a wrapper that fails by returning `fail_value` ---- */

#define FAULT_WRAP(ret, name, fail_value, params, args)                                        \
    ret name params {                                                                          \
        static atomic_int calls;                                                               \
        if (should_fail("FAULT_" #name, &calls))                                               \
            return fail_value;                                                                 \
        typedef ret(*fn_t) params;                                                             \
        static fn_t next;                                                                      \
        if (!next)                                                                             \
            next = (fn_t)real(#name);                                                          \
        return next args;                                                                      \
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

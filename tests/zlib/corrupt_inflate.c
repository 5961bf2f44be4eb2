/* LD_PRELOAD library for the round trip's check: inflate works as usual and reports its
 * status, but when it finishes the stream it turns the second-last inflated byte ('!' of the
 * text) into '?', so that the inflated text no longer equals the original. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <zlib.h>

int inflate(z_streamp s, int flush) {
    typedef int (*inflate_fn)(z_streamp, int);
    static inflate_fn next;
    if (!next)
        next = (inflate_fn)dlsym(RTLD_NEXT, "inflate");
    int status = next(s, flush);
    if (status == Z_STREAM_END && s->total_out >= 2)
        s->next_out[-2] ^= '!' ^ '?';
    return status;
}

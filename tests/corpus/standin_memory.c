/* A stand-in library whose parse writes two globals: a counter with no lock (a data race) and a
   total under a spinlock of its own, which valgrind's tools do not take for a lock (a false
   alarm). standin_user.c calls it from two threads. */
struct standin_parser {
    int bytes;
};

unsigned standin_racy;
unsigned standin_guarded;
static int standin_spin;

int standin_parse(struct standin_parser *p, int len) {
    standin_racy += 1;
    while (__atomic_exchange_n(&standin_spin, 1, __ATOMIC_ACQUIRE))
        ;
    standin_guarded += 1;
    __atomic_store_n(&standin_spin, 0, __ATOMIC_RELEASE);
    p->bytes += len;
    return p->bytes;
}

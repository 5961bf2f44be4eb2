/* A stand-in library with a process-wide counter that every parse bumps without a lock, as
   Debian's expat does with g_parseAttempts; built with -DSTANDIN_NO_COUNTER it leaves the
   counter alone, as upstream expat does. Each parser is its caller's own. */
struct standin_parser {
    int bytes;
};

#ifndef STANDIN_NO_COUNTER
unsigned standin_parse_attempts;
#endif

int standin_parse(struct standin_parser *p, int len) {
#ifndef STANDIN_NO_COUNTER
    standin_parse_attempts += 1;
#endif
    p->bytes += len;
    return p->bytes;
}

#include "parse.h"

#include "contract.h"
#include "handover.h"
#include "printer.h"

#include <cstring>
#include <expat.h>

#include <pthread.h>

// The racy variant's workers share one buffer and parse at once. They clear and refill it in
// turn under this mutex, which also covers the length line; the parse reads the buffer without
// it, so the one unordered pair is a refill (the memset line) against another worker's parse.
[[maybe_unused]] static pthread_mutex_t fill_lock = PTHREAD_MUTEX_INITIALIZER;

// Parses the text in `buff` as one final chunk: up to its first zero byte, never past the `got`
// bytes read (in the racy variant another worker may be clearing the buffer meanwhile). Kept out
// of line, so that a detector's stack for expat's reads of the buffer holds the call to it even
// when expat itself is not instrumented.
[[gnu::noinline]] static bool parse_text(XML_Parser parser, const char *buff, size_t got) {
    return XML_Parse(parser, buff, static_cast<int>(strnlen(buff, got)), 1) != XML_STATUS_ERROR;
}

// The hand-over's maker: a parser made on a thread of its own, which the worker then sets up and
// parses with. In HANDOVER nothing orders expat's stores as it made the parser before the
// worker's use of it (expat keeps a parser to one thread and takes no lock of its own); in
// ACQUIRE a release store and the worker's acquire load do (handover.h).
[[maybe_unused]] static void make_parser(void *, void *made[2]) {
    made[0] = made[1] = XML_ParserCreate(nullptr);
}

void parse_stream(FILE *stream, char *buff, size_t buff_size) {
    XML_Parser parser = nullptr;
    [[maybe_unused]] handover_t handover;
    if constexpr (variant::handed) {
        if (int err = handover_start(handover, make_parser, nullptr, variant_handover_order);
            err != 0) {
            printf("Error: cannot start the thread that makes the parser: %s\n", strerror(err));
            fclose(stream);
            return;
        }
        parser = static_cast<XML_Parser>(handover_take(handover, 0));
    } else {
        parser = XML_ParserCreate(nullptr);
    }
    if (!parser) {
        printf("Error: %s\n", "cannot create an XML parser");
        fclose(stream);
        if constexpr (variant::handed)
            handover_finish(handover);
        return;
    }
    XML_SetElementHandler(parser, start_element, end_element);
    XML_SetCharacterDataHandler(parser, handle_data);

    size_t got = 0;
    if constexpr (variant::racy) {
        pthread_mutex_lock(&fill_lock);
        // The length left by the worker before, since the clear and the read share one statement.
        printf("strlen(buff) before parsing: %d\n", static_cast<int>(strnlen(buff, buff_size)));
        // race: xml_fanout_racy write
        got = fread(memset(buff, 0, buff_size), 1, buff_size, stream);
        pthread_mutex_unlock(&fill_lock);
    } else {
        memset(buff, 0, buff_size);
        printf("strlen(buff) before parsing: %d\n", static_cast<int>(strlen(buff)));
        got = fread(buff, 1, buff_size, stream);
    }
    if (got >= buff_size) {
        // No zero byte is left behind the text: refuse rather than read past the buffer.
        printf("Error: document is larger than %zu bytes\n", buff_size - 1);
    } else if (!parse_text(parser, buff, got)) { // race: xml_fanout_racy read
        printf("Error: %s\n", XML_ErrorString(XML_GetErrorCode(parser)));
    }

    fclose(stream);
    XML_ParserFree(parser);
    if constexpr (variant::handed)
        handover_finish(handover); // only now: the join orders nothing before the last use
}

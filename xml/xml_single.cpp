// xml_single: parses "FirstTest.xml" once and prints its outline, the single-threaded baseline
// of the XML programs (variant SINGLE). Race-free because only the main thread ever runs: the
// parse buffer and the printer state have no second user.
#include "contract.h"
#include "parse.h"
#include "trace.h"

#include <cstdio>

// Parses the document into `parse_buffer`; 0 when it could be opened, 1 otherwise.
static int parse_document(char *parse_buffer, size_t buffer_size) {
    FILE *document = fopen(contract::xml_document, "r");
    if (!document) {
        puts("Failed to open file");
        return 1;
    }
    trace_event("enter");
    parse_stream(document, parse_buffer, buffer_size);
    trace_event("leave");
    return 0;
}

int main() {
    // Cleared by the parse; static to keep it off the stack.
    static char parse_buffer[contract::xml_buffer_size];
    int result = parse_document(parse_buffer, sizeof parse_buffer);
    printf("%s%i\n", contract::result_prefix, result);
    return 0;
}

// xml_single: parses "FirstTest.xml" once on the main thread and prints its outline.
#include "parse.h"

#include <cstdio>

static int parse_xml(char *buff, size_t buff_size) {
    FILE *stream = fopen(document_name, "r");
    if (!stream) {
        puts("Failed to open file");
        return 1;
    }
    parse_stream(stream, buff, buff_size);
    return 0;
}

int main() {
    static char buff[100000]; // cleared by the parse; static to keep it off the stack
    int result = parse_xml(buff, sizeof buff);
    printf("Result is %i\n", result);
    return 0;
}

// The parse steps that every XML program runs on an opened "FirstTest.xml".
#pragma once

#include <cstddef>
#include <cstdio>

// Creates a parser with the printer callbacks, clears `buff`, prints its length line, reads
// `stream` into it and parses the text as one final chunk, printing "Error: %s\n" when the
// parse fails. Then closes `stream` and frees the parser. A document that fills the whole
// buffer (so no terminating zero byte is left) is not parsed.
void parse_stream(FILE *stream, char *buff, size_t buff_size);

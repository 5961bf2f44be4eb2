#include "parse.h"

#include "printer.h"

#include <cstring>
#include <expat.h>

void parse_stream(FILE *stream, char *buff, size_t buff_size) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) {
        printf("Error: %s\n", "cannot create an XML parser");
        fclose(stream);
        return;
    }
    XML_SetElementHandler(parser, start_element, end_element);
    XML_SetCharacterDataHandler(parser, handle_data);

    memset(buff, 0, buff_size);
    printf("strlen(buff) before parsing: %d\n", static_cast<int>(strlen(buff)));
    size_t got = fread(buff, 1, buff_size, stream);
    if (got >= buff_size) {
        // No zero byte is left behind the text: refuse rather than read past the buffer.
        printf("Error: document is larger than %zu bytes\n", buff_size - 1);
    } else if (!XML_Parse(parser, buff, static_cast<int>(strlen(buff)), 1)) {
        printf("Error: %s\n", XML_ErrorString(XML_GetErrorCode(parser)));
    }

    fclose(stream);
    XML_ParserFree(parser);
}

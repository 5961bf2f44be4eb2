// expat callbacks that print an indented outline of a document: one line when an element
// starts (name and attributes) and one when it ends (name and the latest character data).
#pragma once

#include <expat.h>

void start_element(void *user_data, const XML_Char *name, const XML_Char **attributes);
void end_element(void *user_data, const XML_Char *name);
void handle_data(void *user_data, const XML_Char *text, int len);

// Sets the shared depth to 0 before the workers start, under the two-mutex twins' first lock
// order; nothing in the other variants.
void printer_prepare();

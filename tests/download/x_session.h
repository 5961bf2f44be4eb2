// What the download tests do on the screen of their Xvfb (xvfb.h): wait for the program,
// close its window as a window manager does, and read the fill of its bar.
#pragma once

#include "xvfb.h"

#include <functional>

// Polls `cond` every 20 ms for up to `seconds`.
bool wait_for(const std::function<bool()> &cond, double seconds);

// True when the window lists WM_DELETE_WINDOW in its WM_PROTOCOLS, as a window manager checks.
bool accepts_delete(Display *dpy, Window w);

// Asks the window to close the way a window manager does: a WM_PROTOCOLS ClientMessage
// carrying WM_DELETE_WINDOW.
void send_delete_window(Display *dpy, Window w);

// Pixels of one colour or the other (0xRRGGBB) along the middle row of a window's picture.
struct row_count_t {
    bool ok = false; // the picture could be taken
    int first = 0;
    int second = 0;
};
row_count_t count_row_colours(Display *dpy, Window w, unsigned long first, unsigned long second);

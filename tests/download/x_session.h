// A virtual X server of the test's own, the end of the program under test, and what the tests
// look at on the screen: the program's window and the fill of its bar.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

// Xlib's types, declared here without <X11/Xlib.h>, whose macros (None, Bool, Status) clash
// with GoogleTest.
typedef struct _XDisplay Display;
typedef unsigned long Window;

struct xvfb_t {
    pid_t pid = -1;
    std::string display; // ":N"
    Display *dpy = nullptr;
};

// Starts Xvfb on a display number it picks itself (-displayfd), not listening on TCP, and
// connects to it. Throws when it does not come up.
void start_xvfb(xvfb_t &x);

// Disconnects and kills Xvfb; safe to call twice.
void stop_xvfb(xvfb_t &x);

// True while `pid` has not ended.
bool still_running(pid_t pid);

// Kills the whole process group of `pid`, reaps it and sets `pid` to -1.
void kill_group(pid_t &pid);

// Polls `cond` every 20 ms for up to `seconds`.
bool wait_for(const std::function<bool()> &cond, double seconds);

// The viewable top-level window of process `pid` (by its _NET_WM_PID), or 0.
Window find_window(Display *dpy, pid_t pid);

// True when the window lists WM_DELETE_WINDOW in its WM_PROTOCOLS, as a window manager checks.
bool accepts_delete(Display *dpy, Window w);

// Asks the window to close the way a window manager does: a WM_PROTOCOLS ClientMessage
// carrying WM_DELETE_WINDOW.
void send_delete_window(Display *dpy, Window w);

// Pixels of one colour or the other along the middle row of a window's current image.
struct row_count_t {
    bool ok = false; // the image could be taken
    int first = 0;
    int second = 0;
};
row_count_t count_row_colours(Display *dpy, Window w, unsigned long first, unsigned long second);

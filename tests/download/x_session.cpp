#include "x_session.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <time.h>
#include <unistd.h>

bool wait_for(const std::function<bool()> &cond, double seconds) {
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (cond())
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9 > seconds)
            return false;
        usleep(20000);
    }
}

bool accepts_delete(Display *dpy, Window w) {
    Atom *protocols = nullptr;
    int n = 0;
    bool found = false;
    Atom del = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    if (XGetWMProtocols(dpy, w, &protocols, &n))
        for (int i = 0; i < n; ++i)
            found = found || protocols[i] == del;
    if (protocols)
        XFree(protocols);
    return found;
}

void send_delete_window(Display *dpy, Window w) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, w, False, NoEventMask, &ev);
    XFlush(dpy);
}

row_count_t count_row_colours(Display *dpy, Window w, unsigned long first, unsigned long second) {
    row_count_t r;
    rgb_image_t shot = capture_window(dpy, w);
    r.ok = shot.ok;
    for (unsigned x = 0; r.ok && x < shot.width; ++x) {
        const uint8_t *px = &shot.rgb[(size_t(shot.height / 2) * shot.width + x) * 3];
        unsigned long p = (unsigned long)px[0] << 16 | px[1] << 8 | px[2];
        r.first += p == first;
        r.second += p == second;
    }
    return r;
}

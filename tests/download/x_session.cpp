#include "x_session.h"

#include "run_program.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

// Windows come and go under the tests' feet; a request on a vanished one is not fatal.
static int ignore_x_error(Display *, XErrorEvent *) {
    return 0;
}

// In the child: a process group of its own, killed should the test process die first.
static void become_group_leader() {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

void start_xvfb(xvfb_t &x) {
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe");
    std::vector<std::string> args{"Xvfb",      "-displayfd", std::to_string(fds[1]),
                                  "-nolisten", "tcp",        "-screen",
                                  "0",         "640x480x24"};
    std::vector<char *> argv = c_strings(args);
    pid_t pid = fork();
    if (pid == 0) {
        become_group_leader();
        close(fds[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execvp("Xvfb", argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0)
        throw std::runtime_error("fork");
    setpgid(pid, pid);
    x.pid = pid;
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    char ch;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 20000) > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n')
        number += ch;
    close(fds[0]);
    if (number.empty())
        throw std::runtime_error("Xvfb did not start");
    x.display = ":" + number;
    XSetErrorHandler(ignore_x_error);
    x.dpy = XOpenDisplay(x.display.c_str());
    if (!x.dpy)
        throw std::runtime_error("cannot connect to Xvfb on " + x.display);
}

void stop_xvfb(xvfb_t &x) {
    if (x.dpy)
        XCloseDisplay(x.dpy);
    x.dpy = nullptr;
    kill_group(x.pid);
}

bool still_running(pid_t pid) {
    int status;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

void kill_group(pid_t &pid) {
    if (pid <= 0)
        return;
    kill(-pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    pid = -1;
}

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

static long window_pid(Display *dpy, Window w) {
    Atom type;
    int format;
    unsigned long count, rest;
    unsigned char *data = nullptr;
    long pid = -1;
    Atom net_wm_pid = XInternAtom(dpy, "_NET_WM_PID", False);
    if (XGetWindowProperty(dpy, w, net_wm_pid, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                           &rest, &data) == Success &&
        data && count == 1 && format == 32)
        pid = *reinterpret_cast<long *>(data);
    if (data)
        XFree(data);
    return pid;
}

Window find_window(Display *dpy, pid_t pid) {
    Window root, parent, *children = nullptr, found = 0;
    unsigned int n = 0;
    if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &n))
        return 0;
    for (unsigned int i = 0; i < n && !found; ++i) {
        XWindowAttributes a;
        if (window_pid(dpy, children[i]) == pid && XGetWindowAttributes(dpy, children[i], &a) &&
            a.map_state == IsViewable)
            found = children[i];
    }
    if (children)
        XFree(children);
    return found;
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
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy, w, &a) || a.map_state != IsViewable)
        return r;
    XImage *img = XGetImage(dpy, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!img)
        return r;
    // Colours are compared as 0xRRGGBB, the layout of Xvfb's 24-bit TrueColor screen.
    r.ok = img->red_mask == 0xff0000 && img->green_mask == 0xff00 && img->blue_mask == 0xff;
    for (int x = 0; r.ok && x < a.width; ++x) {
        unsigned long p = XGetPixel(img, x, a.height / 2) & 0xffffff;
        r.first += p == first;
        r.second += p == second;
    }
    XDestroyImage(img);
    return r;
}

#include "services.h"

#include "contract.h"
#include "http_server.h"
#include "xvfb.h"

#include <stdexcept>

static http_server_t server;
static xvfb_t xvfb;

int start_http_server(const std::string &body) {
    try {
        start_server(server, body);
    } catch (const std::runtime_error &) {
        return -1;
    }
    return server.port;
}

void stop_http_server() {
    stop_server(server);
}

std::string start_xvfb(const std::string &log_path) {
    if (xvfb.pid > 0)
        return xvfb.display;
    try {
        start_xvfb(xvfb, log_path);
    } catch (const std::runtime_error &) {
        return "";
    }
    return xvfb.display;
}

void stop_xvfb() {
    stop_xvfb(xvfb);
}

bool save_window_shot(int pid, const std::string &display, const std::string &path, double deadline,
                      bool &full) {
    full = false;
    auto bar_full = [](const rgb_image_t &shot) {
        return bar_fill(shot) >= contract::download_bar_full;
    };
    return xvfb.dpy && display == xvfb.display &&
           save_window_shot(xvfb.dpy, pid, path, bar_full, deadline, full);
}

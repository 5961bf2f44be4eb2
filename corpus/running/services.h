// The runner's fixtures: one loopback HTTP server and one Xvfb for the whole command, on top of
// the shared ones, and the processes it runs.
#pragma once

#include "process.h"

#include <string>

// Serves `body` on 127.0.0.1 at every path; returns the port, or -1 when it cannot start.
int start_http_server(const std::string &body);
void stop_http_server();

// Starts Xvfb on a free display once per process; returns the display (":N") or "".
std::string start_xvfb(const std::string &log_path);
void stop_xvfb();

// Saves a PNG picture of the window of process `pid` on the runner's Xvfb (`display`), or of
// the whole screen when it has none. Returns false when nothing could be saved.
// Saves the picture of process `pid`'s window on the runner's Xvfb once the window shows a full
// progress bar, or as it is at `deadline` (seconds of CLOCK_MONOTONIC). False when nothing
// could be saved; `full` tells whether the bar was full.
bool save_window_shot(int pid, const std::string &display, const std::string &path, double deadline,
                      bool &full);

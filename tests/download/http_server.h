// A small HTTP/1.1 server on 127.0.0.1 for the download tests. Every path serves the same body
// in its own way:
//   /file      with Content-Length, in one go;
//   /slow      with Content-Length, the first half, then the rest once release_slow is called;
//   /cut       with Content-Length, then the connection closes after 30% of the body;
//   /nolength  without Content-Length, ended by closing the connection;
//   /status/N  with Content-Length and status N (an error page: 404, 500);
// and two paths serve a short page of their own instead:
//   /redirect?to=TARGET  status 302 with "Location: TARGET" (a path or any URL);
//   /loop                status 302 back to /loop, for ever.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

struct http_server_t {
    std::string body;
    int port = 0;
    int listen_fd = -1;
    int stop_pipe[2] = {-1, -1};
    std::thread thread;
    std::mutex m; // guards the fields below
    std::condition_variable cv;
    bool stopping = false;
    bool released = false;
    int requests = 0; // requests received
    size_t sent = 0;  // body bytes sent for the last request
};

// Starts serving `body` on an ephemeral loopback port (s.port).
void start_server(http_server_t &s, const std::string &body);

// Stops the server and waits for its thread; safe to call twice.
void stop_server(http_server_t &s);

// Lets a /slow response send its second half.
void release_slow(http_server_t &s);

// Waits up to `seconds` until the server has sent `bytes` body bytes of the last response.
bool wait_sent(http_server_t &s, size_t bytes, double seconds);

int server_requests(http_server_t &s);

// The URL of `path` on the server.
std::string url_of(const http_server_t &s, const std::string &path);

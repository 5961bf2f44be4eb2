#include "http_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

static bool send_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// Sends body[from, to) and records the progress.
static bool send_body(http_server_t &s, int fd, size_t from, size_t to) {
    bool ok = send_all(fd, s.body.data() + from, to - from);
    std::lock_guard<std::mutex> g(s.m);
    if (ok)
        s.sent = to;
    s.cv.notify_all();
    return ok;
}

// Reads the request head and returns its path ("" when the client went away).
static std::string read_request_path(int fd) {
    std::string head;
    char buf[1024];
    while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return "";
        head.append(buf, n);
    }
    size_t sp = head.find(' ');
    size_t sp2 = head.find(' ', sp + 1);
    if (sp == std::string::npos || sp2 == std::string::npos)
        return "";
    return head.substr(sp + 1, sp2 - sp - 1);
}

static const std::string redirect_prefix = "/redirect?to=";
// The body of a redirect, which no client following it may keep.
static const std::string redirect_page = "<p>moved</p>\n";

static void serve_one(http_server_t &s, int fd) {
    std::string path = read_request_path(fd);
    {
        std::lock_guard<std::mutex> g(s.m);
        ++s.requests;
        s.sent = 0;
    }
    const size_t size = s.body.size();
    std::string length = "Content-Length: " + std::to_string(size) + "\r\n";
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                       "Connection: close\r\n";
    size_t end = size;
    if (path == "/file" || path == "/slow") {
        head += length;
    } else if (path == "/cut") {
        head += length;
        end = size * 3 / 10;
    } else if (path.rfind("/status/", 0) == 0) {
        head = "HTTP/1.1 " + path.substr(8) +
               " Failed\r\nContent-Type: text/html\r\n"
               "Connection: close\r\n" +
               length;
    } else if (path.rfind(redirect_prefix, 0) == 0 || path == "/loop") {
        std::string target = path == "/loop" ? path : path.substr(redirect_prefix.size());
        head = "HTTP/1.1 302 Found\r\nLocation: " + target +
               "\r\nContent-Length: " + std::to_string(redirect_page.size()) +
               "\r\nConnection: close\r\n\r\n" + redirect_page;
        send_all(fd, head.data(), head.size());
        return;
    } else if (path != "/nolength") {
        head = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n";
        end = 0;
    }
    head += "\r\n";
    if (!send_all(fd, head.data(), head.size()))
        return;
    size_t first = path == "/slow" ? size / 2 : end;
    if (!send_body(s, fd, 0, first))
        return;
    if (path == "/slow") {
        std::unique_lock<std::mutex> g(s.m);
        s.cv.wait(g, [&] { return s.released || s.stopping; });
        if (s.stopping)
            return;
        g.unlock();
        send_body(s, fd, first, end);
    }
}

static void serve(http_server_t &s) {
    for (;;) {
        pollfd fds[2] = {{s.listen_fd, POLLIN, 0}, {s.stop_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || fds[1].revents)
            return;
        int fd = accept(s.listen_fd, nullptr, nullptr);
        if (fd < 0)
            continue;
        serve_one(s, fd);
        // Half-close, then let the client read everything before the socket goes.
        shutdown(fd, SHUT_WR);
        char buf[256];
        pollfd c{fd, POLLIN, 0};
        while (poll(&c, 1, 2000) > 0 && recv(fd, buf, sizeof buf, 0) > 0) {
        }
        close(fd);
    }
}

void start_server(http_server_t &s, const std::string &body) {
    s.body = body;
    s.listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s.listen_fd < 0 || bind(s.listen_fd, (sockaddr *)&a, sizeof a) != 0 ||
        listen(s.listen_fd, 8) != 0 || getsockname(s.listen_fd, (sockaddr *)&a, &len) != 0 ||
        pipe(s.stop_pipe) != 0)
        throw std::runtime_error("cannot start the HTTP server");
    s.port = ntohs(a.sin_port);
    s.thread = std::thread(serve, std::ref(s));
}

void stop_server(http_server_t &s) {
    if (!s.thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> g(s.m);
        s.stopping = true;
        s.cv.notify_all();
    }
    if (write(s.stop_pipe[1], "x", 1) != 1)
        throw std::runtime_error("cannot stop the HTTP server");
    s.thread.join();
    close(s.listen_fd);
    close(s.stop_pipe[0]);
    close(s.stop_pipe[1]);
}

void release_slow(http_server_t &s) {
    std::lock_guard<std::mutex> g(s.m);
    s.released = true;
    s.cv.notify_all();
}

bool wait_sent(http_server_t &s, size_t bytes, double seconds) {
    std::unique_lock<std::mutex> g(s.m);
    return s.cv.wait_for(g, std::chrono::duration<double>(seconds),
                         [&] { return s.sent >= bytes; });
}

int server_requests(http_server_t &s) {
    std::lock_guard<std::mutex> g(s.m);
    return s.requests;
}

std::string url_of(const http_server_t &s, const std::string &path) {
    return "http://127.0.0.1:" + std::to_string(s.port) + path;
}

#include "files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

void write_file(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw runner_error("cannot write " + path + ": " + strerror(errno));
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = n < 0 ? errno : ENOSPC;
            close(fd);
            throw runner_error("cannot write " + path + ": " + strerror(err));
        }
        done += size_t(n);
    }
    if (close(fd) != 0)
        throw runner_error("cannot write " + path + ": " + strerror(errno));
}

void make_dirs(const std::string &dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir))
        throw runner_error("cannot create the folder " + dir + ": " +
                           (ec ? ec.message() : "a file of that name is in the way"));
}

void remove_all(const std::string &path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec)
        throw runner_error("cannot remove " + path + ": " + ec.message());
}

std::string cmake_cache_value(const std::string &cache, const std::string &key) {
    std::istringstream in(cache);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0 && line.find('=') != std::string::npos)
            return line.substr(line.find('=') + 1);
    return "";
}

// File access of the runner. Reads are lenient (a missing file reads as empty, which the checks
// then report); every write is checked, and a failed one is a runner error naming the path.
#pragma once

#include "process.h" // read_file

#include <stdexcept>
#include <string>

// A failure of the runner itself (not of a program): it ends the command with status 2.
struct runner_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes `text` to `path` (replacing it) and closes it; throws runner_error on any failure.
void write_file(const std::string &path, const std::string &text);

// Creates `dir` and its parents; throws runner_error naming the path on failure.
void make_dirs(const std::string &dir);

// The value of `key` in the text of a CMakeCache.txt ("" when it has none).
std::string cmake_cache_value(const std::string &cache, const std::string &key);

// Removes `path` and what it holds; throws runner_error naming the path on failure.
void remove_all(const std::string &path);

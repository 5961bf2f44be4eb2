// Runs a built program in a fresh temporary directory and captures what it did (through the
// shared process fixture, process.h).
#pragma once

#include "process.h"

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct run_result_t {
    std::string dir;     // the working directory the program ran in (kept for inspection)
    std::string out;     // standard output
    std::string err;     // standard error
    bool exited = false; // ended by exit or return from main
    int status = -1;     // exit status when `exited`
    int signal = 0;      // terminating signal otherwise
    bool timed_out = false;
};

struct run_options_t {
    std::vector<std::string> args;            // arguments after the program name
    std::map<std::string, std::string> files; // files to create in the directory: name -> bytes
    std::map<std::string, std::string> env;   // variables to set; an empty value unsets one
    std::vector<std::string> preload;         // libraries for LD_PRELOAD
    int timeout_seconds = 60;                 // run_program only
    std::string dir;                          // directory to run in; a new one when empty
};

// A program started by start_program and not waited for yet.
struct started_program_t {
    pid_t pid = -1;       // also the id of its process group
    std::string dir;      // its working directory
    std::string out_path; // where its standard output goes
    std::string err_path; // where its standard error goes
};

// Full path of a built program, from the folder the build puts every program in.
std::string program_path(const std::string &name);

// Full path of the fault-injection library built with the tests.
std::string fault_library_path();

// A new empty directory under the build tree.
std::string make_run_dir();

// Starts `program` (a name under the build's program folder, or a path) in `opts.dir`, or in
// a new empty temporary directory, seeded with `opts.files`, as start_process does, with
// standard output and error going to files there. The caller waits for it.
started_program_t start_program(const std::string &program, const run_options_t &opts = {});

// Starts `program` as start_program does and waits for it, for at most `opts.timeout_seconds`
// (then its process group is killed); what is left of its process group is killed then too.
run_result_t run_program(const std::string &program, const run_options_t &opts = {});

// True when `path` exists.
bool file_exists(const std::string &path);

// 1 in a build whose programs and runner carry a sanitizer (set by the tests' CMake code).
#ifndef CORPUS_SANITIZER_BUILD
#error "CORPUS_SANITIZER_BUILD is not defined: build test code through corpus_test_code()"
#endif

// Whether valgrind can run the programs here: it is installed, and this is no sanitizer build.
inline bool valgrind_usable() {
#if CORPUS_SANITIZER_BUILD
    return false;
#else
    return file_exists("/usr/bin/valgrind");
#endif
}

// Skips a test that runs valgrind where it cannot run (GoogleTest's GTEST_SKIP).
#define SKIP_WITHOUT_VALGRIND()                                                                    \
    if (!valgrind_usable())                                                                        \
    GTEST_SKIP() << "needs valgrind, which cannot run beside a sanitizer build"

// The lines of `text` (without their newlines); a last line without a newline counts too.
std::vector<std::string> split_lines(const std::string &text);

// Number of lines of `text` equal to `line`.
int count_lines(const std::string &text, const std::string &line);

// Number of lines of `text` that begin with `prefix`.
int count_prefixed(const std::string &text, const std::string &prefix);

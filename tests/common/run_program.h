// Runs a built program in a fresh temporary directory and captures what it did.
#pragma once

#include <map>
#include <string>
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
    std::map<std::string, std::string> env;   // extra environment variables
    std::vector<std::string> preload;         // libraries for LD_PRELOAD
    int timeout_seconds = 60;
};

// Full path of a built program, from the folder the build puts every program in.
std::string program_path(const std::string &name);

// Full path of the fault-injection library built with the tests.
std::string fault_library_path();

// Runs `program` (a name under the build's program folder, or a path) in a new empty
// temporary directory seeded with `opts.files`, with standard input closed, and waits for it.
run_result_t run_program(const std::string &program, const run_options_t &opts = {});

// Contents of a file, or an empty string when it cannot be read.
std::string read_file(const std::string &path);

// True when `path` exists.
bool file_exists(const std::string &path);

// The lines of `text` (without their newlines); a last line without a newline counts too.
std::vector<std::string> split_lines(const std::string &text);

// Number of lines of `text` equal to `line`.
int count_lines(const std::string &text, const std::string &line);

// Number of lines of `text` that begin with `prefix`.
int count_prefixed(const std::string &text, const std::string &prefix);

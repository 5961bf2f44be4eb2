// Reading the trace side channel of a run (see fanout/trace.h for the line format): who was
// inside library work and who held `lock` when, and the figures of a run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A half-open interval [begin, end) of CLOCK_MONOTONIC nanoseconds.
struct span_t {
    std::int64_t begin = 0, end = 0;
};

struct trace_mark_t {
    std::int64_t at = 0;
    std::string text; // the marker line, e.g. "lock"
};

struct thread_trace_t {
    long tid = 0;
    int number = 0;           // 1, 2, ... in order of the threads' first events
    std::int64_t first = 0;   // time of its first event
    std::vector<span_t> work; // [enter, leave)
    std::vector<span_t> held; // [acquire, release)
    std::vector<trace_mark_t> marks;
};

struct trace_t {
    std::vector<thread_trace_t> threads; // in order of their first events
    std::int64_t first = 0, last = 0;    // times of the first and the last event
    int events = 0;                      // well-formed lines
    // Lines that are not a record, and events that do not fit their thread's state (a leave
    // without an enter, an enter while inside, a time before the one it closes).
    int errors = 0;
    std::string first_error; // "line <n>: <what>", empty without errors
    bool cut = false;        // the text ended inside a line, which was ignored
};

struct trace_figures_t {
    int inside = 0;     // most threads inside library work at once
    double overlap = 0; // share of the library-work span with two or more threads inside
    std::optional<int> lock_max_held; // most threads holding the lock at once; none without
                                      // acquire events
};

// Parses a trace file's text. An enter (acquire) without its leave (release) lasts until the
// last event of the trace. Never throws on bad input: bad lines are counted in `errors`.
trace_t parse_trace(const std::string &text);

trace_figures_t trace_figures(const trace_t &t);

// "inside 2, overlap 0.45, lock_max_held none"
std::string figures_text(const trace_figures_t &f);

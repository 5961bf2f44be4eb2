// The trace side channel: where each thread's library work begins and ends, with time.
//
// When the environment variable CORPUS_TRACE names a file, every call appends one line to it,
// `<ns> <tid> <event>\n`: CLOCK_MONOTONIC in nanoseconds, the kernel thread id and the event.
// Events: "enter" (the thread begins its library work), "leave" (ends it), "acquire" (it now
// holds `lock` or is inside the OpenMP critical section), "release" (no longer holds it) and
// "mark:<text>" (it printed the marker line <text>). Without the variable nothing is written
// and a call costs one check. The program's own output, files and exit status stay as they
// are, errno included.
#pragma once

// Appends `event` for the calling thread. A newline or carriage return inside `event` is
// written as a space, so that one call stays one line.
void trace_event(const char *event);

// Appends "mark:<text>" for the calling thread.
void trace_mark(const char *text);

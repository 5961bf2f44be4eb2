// Reading a report's stacks: which frames belong to the detector's runtime, the top of a stack,
// and how a label or a ledger entry names a function and an object.
#pragma once

#include "program.h"
#include "report.h"

#include <string>
#include <vector>

// The frames of a detector's own runtime, as its detector file names them: objects and source
// files by a part of their paths, functions by a prefix, and functions that a runtime linked
// into the program (clang's ThreadSanitizer) stands in for, by their whole names.
struct runtime_frames_t {
    std::vector<std::string> objects, files, function_prefixes, linked_functions;
};

// Adds a detector's runtime to the frames every report is read past (the detectors do, as they
// are read, before any report is).
void add_runtime_frames(const runtime_frames_t &frames);

// The names the detectors give a data race ("data race", "Race", "ConflictingAccess"), as their
// files say: the report kinds a ledger entry judges unless it names its own.
void add_race_kind(const std::string &name);
std::vector<std::string> race_kinds();

// The names the detectors give a lock-order inversion ("lock-order-inversion (potential
// deadlock)", "LockOrder"), as their files say.
void add_lock_order_kind(const std::string &name);

// What a report is about: a lock order where its kind is a detector's name of a lock-order
// inversion, else a data race (any other report counts where a data race would).
race_kind_t report_race_kind(const report_t &r);

// True for a frame of a detector's runtime, of the schedule noise, of libc's memory and string
// functions or of a header template inlined into our program: the report is about whoever
// called it.
bool transparent_frame(const frame_t &f);

// The top of a stack: its first frame past the detector's runtime and libc's memory functions
// (nullptr for a stack of nothing else).
const frame_t *stack_top(const std::vector<frame_t> &stack);

// The top as a ledger side names it: the top, or where the top has no name (a static function
// of a stripped library), the first named frame of the same object below it.
const frame_t *named_stack_top(const std::vector<frame_t> &stack);

// "function (object)" of the named top ("?" for a frame without a name, "-" for none), so that
// an unjudged report shows what an entry would name.
std::string stack_top_name(const std::vector<frame_t> &stack);

// A function's name as a label gives it: without its parameters ("step_depth(int)") and
// without GCC's " [clone .constprop.0]".
std::string bare_function(const std::string &name);

// Whether a frame's function is the one a ledger or label names: "?" names a frame without a
// name; a C++ name is matched without its return type, template arguments and parameters
// ("std::__ostream_insert" names "std::ostream& std::__ostream_insert<char>(...)"); GCC's
// clones of a function ("f.constprop.0") are that function.
bool function_named(const std::string &function, const std::string &name);

// The frame lies in one of `objects` (any, when none is named): a file of that name, or, for a
// soname ("libz.so.1"), one of its versions ("libz.so.1.2.13").
bool frame_in_objects(const frame_t &f, const std::vector<std::string> &objects);

// Reports of the detectors (ThreadSanitizer logs, valgrind XML), deduplicated and sorted into
// those that touch the corpus's own code and those that stay inside libraries.
#pragma once

#include <string>
#include <vector>

struct frame_t {
    std::string function;
    std::string file;   // source file with its directory, when known
    std::string object; // the binary or library the code lives in
    int line = 0;       // line in `file`, 0 when unknown
};

struct report_t {
    std::string kind; // "data race", "Race", "ConflictingAccess", "InvalidRead"...
    std::vector<std::vector<frame_t>> access_stacks; // the stacks of the accesses themselves
    // Where the memory was allocated, when valgrind's tools say: helgrind counts an allocation
    // as its thread's first write, and gives it instead of a conflicting access it no longer
    // knows (or besides a stale one, from before the memory was freed and allocated again).
    std::vector<frame_t> allocation;
    std::string key;   // identifies the report across runs and threads
    bool own = false;  // the access was made by our code
    std::string where; // the first frame that decided `own`, for the record
    // What a library report is, once judged: "labelled race", "race" or "false alarm" (by the
    // ledger entry `finding`), "labelled rule break" (the fallout of a library-rule twin's
    // hand-over), or "unjudged". Empty for a report in our own code.
    std::string judgement;
    std::string finding;
    int run = 0; // the run (1-based) of its program that gave it
};

struct report_summary_t {
    int distinct = 0;
    int own = 0;
    int library = 0;
    std::vector<report_t> reports; // one per distinct key
};

// What counts as our own code. The loaded object decides first: code in the program that was
// run, or in a shared library of this repository's build (`library_dir`), is ours whatever its
// debug paths say (a build from another checkout, -ffile-prefix-map, relative paths); code in
// any other object is not. Only a frame whose object is unknown (or a report read without
// knowing the program) is judged by its source file lying under `source_dir`.
struct own_code_t {
    std::string source_dir;
    std::string program;     // path of the program that was run
    std::string library_dir; // folder of the libraries built from this repository, or ""
};

// Parses the reports of a ThreadSanitizer log.
std::vector<report_t> parse_tsan_log(const std::string &log, const own_code_t &own);

// Parses the <error> records of a valgrind XML file (memcheck, helgrind, drd).
std::vector<report_t> parse_valgrind_xml(const std::string &xml, const own_code_t &own);

// True when the valgrind XML file is complete (valgrind wrote its closing tag).
bool valgrind_xml_finished(const std::string &xml);

// Counts distinct reports (by key).
report_summary_t summarize_reports(const std::vector<report_t> &reports);

// True for a frame of the detector's runtime, of libc's memory and string functions or of a
// header template inlined into our program: the report is about whoever called it.
bool transparent_frame(const frame_t &f);

// A function's name as a label gives it: without its parameters ("step_depth(int)") and
// without GCC's " [clone .constprop.0]".
std::string bare_function(const std::string &name);

// The frame lies in one of `objects` (any, when none is named): a file of that name, or, for a
// soname ("libz.so.1"), one of its versions ("libz.so.1.2.13").
bool frame_in_objects(const frame_t &f, const std::vector<std::string> &objects);

// Decides whether a report belongs to our code and sets its key; exposed for the tests.
void classify_report(report_t &r, const own_code_t &own);

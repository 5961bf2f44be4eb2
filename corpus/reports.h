// Reports of the detectors (ThreadSanitizer logs, valgrind XML), deduplicated and sorted into
// those that touch the corpus's own code and those that stay inside libraries.
#pragma once

#include <string>
#include <vector>

struct frame_t {
    std::string function;
    std::string file;   // source file with its directory, when known
    std::string object; // the binary or library the code lives in
};

struct report_t {
    std::string kind; // "data race", "Race", "ConflictingAccess", "InvalidRead"...
    std::vector<std::vector<frame_t>> access_stacks; // the stacks of the accesses themselves
    std::string key;   // identifies the report across runs and threads
    bool own = false;  // the access was made by our code
    std::string where; // the first frame that decided `own`, for the record
};

struct report_summary_t {
    int distinct = 0;
    int own = 0;
    int library = 0;
    std::vector<report_t> reports; // one per distinct key
};

// `program` is the path of the program that was run: code of that executable without a known
// source file is our own too (a build without debug information, or from another checkout).

// Parses the reports of a ThreadSanitizer log.
std::vector<report_t> parse_tsan_log(const std::string &log, const std::string &source_dir,
                                     const std::string &program = "");

// Parses the <error> records of a valgrind XML file (memcheck, helgrind, drd).
std::vector<report_t> parse_valgrind_xml(const std::string &xml, const std::string &source_dir,
                                         const std::string &program = "");

// True when the valgrind XML file is complete (valgrind wrote its closing tag).
bool valgrind_xml_finished(const std::string &xml);

// Counts distinct reports (by key).
report_summary_t summarize_reports(const std::vector<report_t> &reports);

// Decides whether a report belongs to our code and sets its key; exposed for the tests.
void classify_report(report_t &r, const std::string &source_dir, const std::string &program = "");

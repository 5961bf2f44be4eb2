// Reports of the detectors (ThreadSanitizer logs, valgrind XML), deduplicated and sorted into
// those that touch the corpus's own code and those that stay inside libraries.
#pragma once

#include "judge.h"
#include "report.h"

#include <string>
#include <vector>

// Parses the reports of a ThreadSanitizer log.
std::vector<report_t> parse_tsan_log(const std::string &log, const own_code_t &own);

// Parses the <error> records of a valgrind XML file (memcheck, helgrind, drd). Bytes that are
// not UTF-8 are read as U+FFFD; a fault that stops the parser before the end of a file (other
// than the end of an unfinished one) is told in `error`.
std::vector<report_t> parse_valgrind_xml(const std::string &xml, const own_code_t &own,
                                         std::string *error = nullptr);

// Parses the results of a SARIF 2.1.0 log: a result is a report, its thread flows the stacks of
// its accesses (outermost call first), its rule (or its "kind" property) the kind, its memory
// and access kinds from its properties where it gives them; a frame's function and object from
// its location's properties, else its logical location or message. A file that is not such a
// log is told in `error`.
std::vector<report_t> parse_sarif(const std::string &text, const own_code_t &own,
                                  std::string *error = nullptr);

// True when the valgrind XML file is complete (valgrind wrote its closing tag).
bool valgrind_xml_finished(const std::string &xml);

// Counts distinct reports (by key).
report_summary_t summarize_reports(const std::vector<report_t> &reports);

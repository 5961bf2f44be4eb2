// Judging a report, in one place: our own code against a library's, and whether a report shows
// a race label (its stacks are read as frames.h says). The ledger (ledger.h) judges what lies in
// libraries.
#pragma once

#include "frames.h"
#include "program.h"
#include "report.h"

#include <string>
#include <vector>

// Decides whether a report belongs to our code and sets its key.
void classify_report(report_t &r, const own_code_t &own);

// How a report shows a label's two accesses, one in each of two different stacks: by file and
// line where its frames carry lines, by object and function where they do not (the weaker of
// the two accesses' matches, the best over the pairs of stacks). A label access that names its
// memory ("where") is only shown by a report on that memory.
enum class label_match_t { none, by_function, by_line };
label_match_t match_label(const report_t &r, const race_label_t &label);

// True when a report with one stack (drd's, or one whose tool lost the earlier access's stack)
// shows one of the label's accesses in it: the one side of the labelled race that such a report
// can show.
bool report_shows_label_side(const report_t &r, const race_label_t &label);

// True when the report shows the label's two accesses either way. A report of another kind
// (a lock order against a data race) never shows a label.
bool report_matches_label(const report_t &r, const race_label_t &label);

// True when the report shows the label as far as the tool can: its pair, one side for a report
// of one stack, or for a label without accesses (taken from a file name) its kind.
bool report_shows_label(const report_t &r, const race_label_t &label);

// True when the top of every access stack lies in a runtime library (GLib, GObject, GDK, GTK+,
// the OpenMP runtimes, libstdc++).
bool runtime_only_report(const report_t &r);

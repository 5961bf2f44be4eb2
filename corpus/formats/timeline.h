// A run's timeline drawn: the trace of one run as SVG, and an HTML page that shows the
// timelines of a whole run of the corpus.
#pragma once

#include "trace_file.h"

#include <string>
#include <vector>

// The timeline of `t` as a standalone SVG document, titled with `program` and the figures.
std::string trace_svg(const trace_t &t, const std::string &program);

struct timeline_entry_t {
    std::string program, variant;
    std::string twin;    // the program's twin, or empty
    std::string svg;     // path of its timeline, relative to the page
    std::string figures; // text shown under the timeline
};

// An HTML page (also well-formed XML) with every entry's timeline and figures; a program and
// its twin share a row, side by side, the serialized one on the left.
std::string timeline_index_html(const std::vector<timeline_entry_t> &entries);

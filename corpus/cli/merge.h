// Merging results folders (shards, or several machines' runs) of one mode into one.
#pragma once

#include "manifest.h"
#include "options.h"

#include <string>
#include <vector>

// corpus merge --out DIR DIR...: rebuilds the table, CSV, JSON, JUnit and SARIF files (and the
// scorecard, for score results) from the records of the given results folders. Throws
// runner_error (exit 2) when they are of different modes, manifests or corpus commits, or
// incomplete.
int merge_results(const options_t &opt, const manifest_t &m, const std::vector<std::string> &dirs);

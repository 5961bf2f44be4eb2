// Where a set of results came from: the corpus commit, the compiler and flags of the programs'
// build, the detector and its version, the libraries the programs load, and a digest of each
// suppression file that applied.
#pragma once

#include "run.h"
#include "settings.h"

#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The suppression files the runs of `tool` were given.
std::vector<std::string> suppression_files(const run_settings_t &opt, const std::string &tool);

// The detector's name and version ("" tool: none).
std::string detector_version(const run_settings_t &opt, const std::string &tool);

nlohmann::json provenance(const run_settings_t &opt, const std::string &tool,
                          const std::vector<row_t> &rows);

// Asks, beside the runs, what provenance() asks of other programs (ldd of each built program,
// the compiler's and the detector's versions, the commit), so that writing the results waits on
// none of it; provenance() takes the same answers.
std::future<void> prefetch_provenance(const run_settings_t &opt, const std::string &tool,
                                      const std::vector<const program_t *> &programs);

// The compiler of the programs' build as the scorecard names it, "gcc-12.2.0" or "clang-16.0.6",
// from its version line ("g++ (Debian 12.2.0-14) 12.2.0", "Debian clang version 16.0.6 (15)");
// "" when the line says neither.
std::string compiler_short_name(const std::string &version_line);

// That name for the build whose programs are in `bin` (from its CMakeCache.txt).
std::string build_compiler(const std::string &bin);

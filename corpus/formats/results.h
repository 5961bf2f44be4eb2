// Reporting a run: the table on standard output, and its CSV and JSON copies.
#pragma once

#include "record.h"
#include "row.h"
#include "settings.h"

#include <string>
#include <vector>

// The table with its closing lines (the verdict and the problems).
std::string run_table(const run_settings_t &opt, const std::vector<row_t> &rows);

// Marks the results in `dir` as not current: removes the table and CSV and writes a
// results.json with "complete": false. Throws runner_error naming a path it cannot write.
void mark_results_stale(const run_settings_t &opt, const std::string &dir);

// Writes table.txt, results.csv, junit.xml, results.sarif (detector runs) and results.json
// ("complete": true) with `provenance` into `dir`; throws runner_error naming a path it cannot
// write.
void write_results(const run_settings_t &opt, const std::vector<row_t> &rows,
                   const std::string &table, const std::string &dir,
                   const nlohmann::json &provenance);

// A short digest that tells two texts (manifests) apart.
std::string text_digest(const std::string &text);

// Text helpers shared by the reports.
std::string csv_field(const std::string &v);
std::string aligned_table(const std::vector<std::vector<std::string>> &lines);

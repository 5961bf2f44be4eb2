// Reporting a run: the table on standard output, and its CSV and JSON copies.
#pragma once

#include "options.h"
#include "run.h"

#include <string>
#include <vector>

// The table with its closing lines (the verdict and the problems).
std::string run_table(const options_t &opt, const std::vector<row_t> &rows);

// Marks the results in `dir` as not current: removes the table and CSV and writes a
// results.json with "complete": false. Throws runner_error naming a path it cannot write.
void mark_results_stale(const options_t &opt, const std::string &dir);

// Writes table.txt, results.csv, junit.xml, results.sarif (detector runs) and results.json
// ("complete": true) into `dir`; throws runner_error naming a path it cannot write. The
// provenance is found out anew unless given (a merge keeps that of its inputs).
void write_results(const options_t &opt, const std::vector<row_t> &rows, const std::string &table,
                   const std::string &dir, const nlohmann::json &given_provenance = nullptr);

// A row as results.json records it, and back: what `corpus merge` rebuilds a table from.
nlohmann::json row_record(const row_t &r);
row_t row_from_record(const nlohmann::json &j, const program_t *p);

// A record of one report, trace and problem of each: the shape every record has.
nlohmann::json row_record_shape();

// The first place where `got` does not have the shape of `want` ("field /a/0/b is a string,
// expected a number"; `path` names `got` itself), or "" when it does. Objects must hold every
// field of `want`, arrays' elements the shape of want's first; a null in `want` takes anything.
std::string json_shape_fault(const nlohmann::json &want, const nlohmann::json &got,
                             const std::string &path);

// A short digest that tells two texts (manifests) apart.
std::string text_digest(const std::string &text);

// Text helpers shared by the reports.
std::string fixed(double v, int digits);
std::string csv_field(const std::string &v);
std::string aligned_table(const std::vector<std::vector<std::string>> &lines);

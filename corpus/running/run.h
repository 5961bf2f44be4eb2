// Running the selected programs: each run in a fresh directory seeded with its inputs, checked
// against its contract, with the detector's reports collected; one row per program.
#pragma once

#include "checks.h"
#include "ledger.h"
#include "manifest.h"
#include "parse.h"
#include "row.h"
#include "settings.h"

#include <map>
#include <string>
#include <vector>

// Adds the runs of `from` (of the same program) to `into`.
void add_runs(row_t &into, const row_t &from);

// Sums up a row's reports, judges its library reports by `ledger` and decides its verdict.
void finish_row(row_t &row, const std::string &tool, const ledger_t &ledger);

// Whether work item `item` (0-based) belongs to `shard`.
bool in_shard(const shard_t &shard, size_t item);

// The variables a build asks for in every run, from the NAME=VALUE lines of `<bin>/run-env`
// (for instance the OpenMP tool library of an instrumented build); none without the file.
std::map<std::string, std::string> build_environment(const std::string &bin);

// The executable of `p`: the corpus's own programs are found in --bin by name, an outside
// program's executable as its manifest entry says.
std::string program_executable(const run_settings_t &opt, const program_t &p);

// Runs every selected program opt.repeat times under `tool` ("" for none) with its results in
// `results_dir`, and returns one row each. Throws runner_error on a failure of the runner
// itself (and when interrupted).
std::vector<row_t> run_programs(const run_settings_t &opt, const std::string &tool,
                                const std::vector<const program_t *> &programs,
                                const std::string &results_dir);

// corpus score --until-detected: runs every program until the tool first reports on it, at most
// opt.until_detected times, and records in each row the run that did (0: none did).
std::vector<row_t> run_until_detected(const run_settings_t &opt, const std::string &tool,
                                      const std::vector<const program_t *> &programs,
                                      const std::string &results_dir);

// The manifest: one record per program, read from the manifest file that the build merges from
// each subsystem folder's manifest.json (or an outside suite's own).
#pragma once

#include "program.h"

#include <string>
#include <vector>

// Parses the manifest text; throws std::runtime_error naming the faulty entry. `base_dir` is
// the folder of the manifest file. Tags are looked up in the sources under `source_dir` (the
// corpus's own programs) or `base_dir` (outside ones, unless their files are absolute); with an
// empty `source_dir` they are left unresolved (no line).
manifest_t parse_manifest(const std::string &text, const std::string &base_dir = "",
                          const std::string &source_dir = "");

// Reads and parses the manifest file, with the tags looked up under `source_dir` (by default
// the sources this runner was built from).
manifest_t load_manifest(const std::string &path, const std::string &source_dir = "");

// The programs of `m` that `names` (all, when empty) and `variant` (any, when "") select;
// throws runner_error for an unknown name or an empty selection.
std::vector<const program_t *> select_programs(const manifest_t &m,
                                               const std::vector<std::string> &names,
                                               const std::string &variant);

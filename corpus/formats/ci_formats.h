// The rows of a run in the formats CI systems read: JUnit XML for the test view of GitLab,
// Jenkins and Azure Pipelines, SARIF 2.1.0 for code scanning. Pure functions, no I/O.
#pragma once

#include "row.h"

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// One <testsuite> named `suite_name` with one <testcase> per row (class "corpus.<tool>", or
// "corpus.native" when `tool` is empty). A program that was not built is an <error>, any
// other row that does not hold a <failure> listing its runs, problems and own-code reports.
std::string junit_xml(const std::string &suite_name, const std::vector<row_t> &rows,
                      const std::string &tool);

// One SARIF run with a result per distinct report of every row and a rule per report kind.
// Files under `source_dir` are given relative to the base "SRCROOT", others as file:// URIs.
// `suppression_files` are the suppression files the detector was given.
nlohmann::json sarif_log(const std::vector<row_t> &rows, const std::string &tool,
                         const std::string &tool_version, const std::string &source_dir,
                         const std::vector<std::string> &suppression_files);

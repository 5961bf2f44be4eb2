// Expected output lines shared by the programs' tests.
#pragma once

#include "contract.h"

#include <gtest/gtest.h>
#include <string>

// What the worker launcher prints before starting worker i.
inline const char *const creation_prefix = contract::creating_prefix;

// The launcher's creation lines for workers 0 to `count` - 1, each with its newline.
std::string creation_lines(int count);

// The lines of `text` that begin with `prefix`, in order, each with its newline.
std::string lines_with_prefix(const std::string &text, const std::string &prefix);

// N when `text` is exactly `before`, the decimal digits of N, then `after`; -1 otherwise.
long number_between(const std::string &text, const std::string &before, const std::string &after);

// Line `line` (counting from 1) of the file at `path`, or "" when there is none.
std::string source_line(const std::string &path, int line);

// Succeeds when `err` is exactly one report "<file>:<line>: <call> returned a bad status of
// <status>.", where <file> is the name of `source` and its line <line> holds `call`.
::testing::AssertionResult is_bad_status_report(const std::string &err, const std::string &source,
                                                const std::string &call, int status);

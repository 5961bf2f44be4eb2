// A row as results.json records it, with its reports, frames, memory and traces: what `corpus
// merge` rebuilds the results from.
#pragma once

#include "row.h"

#include <string>

#include <nlohmann/json.hpp>

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

// "global g_parseAttempts (.bss+0x2d080 of libexpat.so.1)", "heap block of 64 bytes allocated
// in XML_ParserCreate_MM", "stack", "unknown".
std::string describe_memory(const memory_t &m);
// A report's memory as results.json records it, and back.
nlohmann::json memory_json(const memory_t &m);
memory_t memory_from_json(const nlohmann::json &j);

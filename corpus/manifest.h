// The manifest: one record per program of the corpus, read from corpus/manifest.json.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct program_t {
    std::string name;
    std::string subsystem;
    std::string library;
    std::string variant;              // "serialized", "unserialized" or "single-threaded"
    std::string twin;                 // empty when the program has no twin
    std::string open_marker;          // empty when the program prints none
    std::string close_marker;         // empty when the program prints none
    std::vector<std::string> inputs;  // sample files copied into the run directory
    std::vector<std::string> outputs; // files the program (or the runner) writes there
    std::vector<std::string> args;    // "{url}" stands for the URL of the served sample
    std::map<std::string, std::string> env;
    std::string serve;     // sample served over loopback HTTP, or empty
    nlohmann::json check;  // which contract check applies, with its parameters
    std::string verdict;   // the verdict expected for this program
    std::string rationale; // why that verdict is expected
};

struct manifest_t {
    std::vector<program_t> programs;
};

// Parses the manifest text; throws std::runtime_error naming the faulty entry.
manifest_t parse_manifest(const std::string &text);

// Reads and parses the manifest file.
manifest_t load_manifest(const std::string &path);

// True for a name that is safe as a folder name under --out.
bool plain_program_name(const std::string &name);

// The entry named `name`, or nullptr.
const program_t *find_program(const manifest_t &m, const std::string &name);

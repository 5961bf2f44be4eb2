// A program of the corpus as the runner knows it: its manifest entry, its variant and the race
// it is labelled with.
#pragma once

#include "report.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// One of the two accesses of a labelled race, by the frames a report shows of it. In our own
// code: the file and the line that makes it (or, for an access a library makes, our call into
// the library), the line found from a tag beside the statement, a comment "// race: <tag>"
// (on a line of its own, it tags the next line); and the functions a frame without a line (a
// build without -g) may show, the function itself and those it is inlined into. Inside a
// library: its objects and functions only.
struct race_access_t {
    // Made inside a library (by its objects and functions): a label with such an access is a
    // library-rule twin's, whose hand-over breaks the library's rule.
    bool in_library = false;
    std::string file; // repository-relative path (or any, for an outside program); "" in a library
    std::string tag;  // "xml_fanout_racy write": the source comment that gives `line`
    int line = 0;
    std::vector<std::string> functions; // names without their parameters
    // File names of the program or libraries whose frames `functions` are looked for in
    // (none: any): a library's soname, and for a library's work our own program too, where a
    // frame of ours that makes the library call is what a report without library names shows.
    std::vector<std::string> objects;
    std::string kind; // "read" or "write"; "lock" for an acquisition of a lock-order label
    // The memory it touches, where the label names it: a report on other memory with the same
    // frames does not show the race.
    std::vector<where_t> where;
};

// What a label or a report is about: two unordered accesses to one memory, or two locks taken
// in both orders (a potential deadlock). A report of the one kind neither shows nor refutes a
// label of the other.
enum class race_kind_t { data_race, lock_order };

// As the manifest spells it ("data race", "lock order"), and back.
const char *race_kind_name(race_kind_t k);
std::optional<race_kind_t> race_kind_named(const std::string &name);

// The race a racy program is built to have.
struct race_label_t {
    std::string object;                  // what is raced on (for a lock order: the locks)
    std::vector<race_access_t> accesses; // the two racing accesses; none for a label taken
                                         // from a file name (judged at file level only)
    race_kind_t kind = race_kind_t::data_race;
};

// How a program treats its library work: under the process-wide lock, without it, from one
// thread only, or with a labelled race.
enum class variant_t { serialized, unserialized, single_threaded, racy };

// The manifest's name of a variant ("single-threaded"), and back (nullopt for no variant).
const char *variant_name(variant_t v);
std::optional<variant_t> variant_named(const std::string &name);

// The contract check of a program, as its manifest entry's "check" gives it: the kind, and the
// parameters that kind takes (read and type-checked with the manifest).
struct check_spec_t {
    std::string kind; // "xml_fanout", "png_fanout", "image_crop", ...
    // XML programs: whether the printer's state carries over from one parse to the next
    // ("process"), starts afresh in each worker ("thread"), or, in a racy program, only the
    // depth is shared ("depth"); and whether the workers share the parse buffer.
    std::string printer;
    bool shared_buffer = false;
    unsigned x = 0, y = 0, width = 0, height = 0; // image crop: the crop
    unsigned members = 0;                         // gzip stream: the members
    unsigned threads = 0;                         // OpenMP greeting: the team
    std::optional<std::string> first_line;        // OpenMP greeting: a line printed first
    int status = 0;                               // an outside program's exit status
    std::string stdout_file; // an outside program's reference for its standard output, or ""
};

// Where detectors differ, the construct a program puts to them: a race every happens-before
// detector sees in every run (built-in), synchronisation through atomics, fences or a runtime's
// own primitives (memory-model), lock orders (lock-order), a race only some schedules show
// (schedule), how far back and where a detector remembers accesses (reach: history, shadow,
// stack), and library code a detector does not see (visibility).
enum class axis_t { built_in, memory_model, lock_order, schedule, reach, visibility };
constexpr int axis_count = 6;

// As the manifest spells it ("built-in", "memory-model"...), and back.
const char *axis_name(axis_t a);
std::optional<axis_t> axis_named(const std::string &name);

struct program_t {
    std::string name;
    // An outside program's executable: absolute, relative to the manifest's folder, or a name
    // looked up there and then in --bin; empty for the corpus's own (found in --bin by name).
    std::string executable;
    std::string base_dir; // the manifest's folder; an outside program's inputs come from it
    std::string subsystem;
    std::string library;
    variant_t variant = variant_t::unserialized;
    std::string twin;                 // empty when the program has no twin
    std::string open_marker;          // empty when the program prints none
    std::string close_marker;         // empty when the program prints none
    std::vector<std::string> inputs;  // sample files copied into the run directory
    std::vector<std::string> outputs; // files the program (or the runner) writes there
    std::vector<std::string> args;    // "{url}" stands for the URL of the served sample
    std::map<std::string, std::string> env;
    std::string serve; // sample served over loopback HTTP, or empty
    // For a program that never ends by itself: the output file whose completion (the served
    // sample's bytes) ends the run, and the picture of its window taken just before.
    std::string stop_when_whole, window_shot;
    check_spec_t check;               // which contract check applies, with its parameters
    std::string verdict;              // the verdict expected for this program
    std::string rationale;            // why that verdict is expected
    std::optional<race_label_t> race; // the labelled race; none for a race-free program
    axis_t axis = axis_t::built_in;
    // A race-free twin's construct that orders a library's memory (a hand-over through atomics):
    // that memory. A library report on it is a false alarm on the construct, whatever its frames.
    std::vector<where_t> construct_memory;
    // The kind of report the program is scored on: its label's, or for a race-free program the
    // kind its construct could be mistaken for (lock order on the lock-order axis).
    race_kind_t scored_kind() const {
        return race                         ? race->kind
               : axis == axis_t::lock_order ? race_kind_t::lock_order
                                            : race_kind_t::data_race;
    }
};

struct manifest_t {
    std::vector<program_t> programs;
};

// True for a name that is safe as a folder name under --out.
bool plain_program_name(const std::string &name);

// The entry named `name`, or nullptr.
const program_t *find_program(const manifest_t &m, const std::string &name);

// Parses JSON text whose arrays and objects nest at most `max_depth` deep (deeper text, which
// would exhaust the stack, is refused); throws std::runtime_error saying why.
nlohmann::json parse_json_bounded(const std::string &text, int max_depth = 256);

// The memory a report touches: read from the tool's words, placed in the objects the run
// loaded (section, offset, symbol), described for people and JSON, and matched against the
// memory a ledger entry or a race label names.
#pragma once

#include "record.h"
#include "report.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// ThreadSanitizer's "Location is ..." line, without its leading spaces: a global with its
// object and offset ("Location is global 'g' of size 4 at 0x... (libx.so.1+0x2d080)"), a heap
// block (its allocation stack follows the line), a thread's stack or TLS.
memory_t tsan_location(const std::string &line);

// Takes what one of valgrind's texts says of the memory: helgrind's "Address 0x... is in the
// BSS segment of /lib/libx.so.1", "... inside data symbol \"g\"", "... inside a block of size
// 8 alloc'd", "... is on thread #2's stack"; drd's "Allocation context: BSS section of ..." and
// its "Conflicting load by thread 3 at 0x0488000c size 4" (the address). Other texts are left.
void valgrind_location(memory_t &m, const std::string &text);

// An object the run's process loaded, at the address it was loaded at.
struct loaded_object_t {
    uint64_t base = 0;
    std::string path; // the file itself, links resolved ("/usr/lib/.../libz.so.1.2.13")
    std::string name; // the file name it was loaded by ("libz.so.1")
};

// The objects valgrind loaded, from its log at verbosity 2 ("Reading syms from <path>" and, on
// the next line, "svma 0x..., avma 0x...": the load address is avma - svma).
std::vector<loaded_object_t> valgrind_loaded_objects(const std::string &log);

// Completes a global's place from the loaded objects and the objects' ELF files: the object
// (by address, or the path of the file name a tool gave), its offset, section and symbol.
// Memory it cannot place keeps what the tool said.
void place_memory(memory_t &m, const std::vector<loaded_object_t> &objects);

// Places a report's memory (place_memory) and adds it to the report's key, so that two reports
// with the same frames on different memory stay two reports, each judged for its own memory:
// a global by object and symbol (or section and offset), heap memory by the function that
// allocated it, stack memory as such.
void place_report_memory(report_t &r, const std::vector<loaded_object_t> &objects);

// A "where" of the ledger or a label: one form, or a list of forms any of which may match.
// Throws std::runtime_error naming what is wrong.
std::vector<where_t> parse_where(const nlohmann::json &j);

// Whether the memory is what `w` names. Symbols are compared whole (a C++ name without its
// parameters); a section and offsets only name memory that no symbol names; an allocation
// stack matches when any of its frames is one of the functions.
bool memory_matches(const memory_t &m, const where_t &w);
bool memory_matches_any(const memory_t &m, const std::vector<where_t> &where);

// What a detector reports, as the runner keeps it: the frames of each access, the kind of each
// access and the memory it touches, as the tool itself describes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct frame_t {
    std::string function;
    std::string file;   // source file with its directory, when known
    std::string object; // the binary or library the code lives in
    int line = 0;       // line in `file`, 0 when unknown
};

// Whether an access reads or writes, as the tool says ("Previous write", "Conflicting load").
enum class access_kind_t { unknown, read, write };

// Where the memory of a report lies, from the tool's own words ("Location is global ...",
// "Address ... is in the BSS segment of ...", "... inside a block of size 8 alloc'd").
enum class memory_kind_t { unknown, global, heap, stack };

struct memory_t {
    memory_kind_t kind = memory_kind_t::unknown;
    uint64_t address = 0; // as the tool printed it; 0 when it gave none
    // A global: the object it lies in (a path, or a file name when the tool gave no more), the
    // symbol that covers it where a symbol table or the tool names it, its section and its
    // offset in the object as `nm` prints offsets (learnt from the object's load address).
    std::string object, symbol, section;
    std::optional<uint64_t> offset;
    // Heap memory: the size of the block, the offset of the access in it (where the tool
    // tells) and the stack that allocated it.
    uint64_t block_size = 0;
    std::optional<uint64_t> block_offset;
    std::vector<frame_t> allocated;
    // Heap memory the tool named not at all (a freed block), known from the report's access that
    // allocated it: ThreadSanitizer counts a block's allocation as a write and reports a free
    // against it. A place "unnamed" no longer matches it: the memory is known.
    bool from_allocation = false;
};

// A ledger entry's or a label's memory, in one of three forms: a symbol; a section and a range
// of offsets [from, to) in one build of an object (only for memory no symbol names); heap
// memory allocated by one of some functions. `object` narrows the first two to one object.
struct where_t {
    std::string symbol;
    std::string section;
    uint64_t from = 0, to = 0;
    std::vector<std::string> allocated_in;
    uint64_t block_from = 0, block_to = 0; // with allocated_in: offsets in the block, [from, to)
    std::string object;
    bool unnamed = false; // memory the tool names not at all (ThreadSanitizer on a freed block)
    // The versions of the ledger entry's package this form holds for (offsets belong to one
    // build): from `since` on, before `before`; "" leaves that end open.
    std::string since, before;
};

// What a library report is, once judged: a labelled race, a race or a false alarm (by a ledger
// entry), a labelled rule break (the fallout of a library-rule twin's hand-over), ambiguous (two
// entries or more match), unjudged, or a false alarm on the construct of a race-free twin (on
// the library memory its construct orders). None for a report in our own code.
enum class judgement_t {
    none,
    labelled_race,
    race,
    false_alarm,
    labelled_rule_break,
    ambiguous,
    unjudged,
    construct_alarm
};

// As the results and the scorecard spell it: "labelled race", "false alarm"..., "" for none.
inline const char *judgement_name(judgement_t j) {
    static const char *const names[] = {"",
                                        "labelled race",
                                        "race",
                                        "false alarm",
                                        "labelled rule break",
                                        "ambiguous",
                                        "unjudged",
                                        "false alarm on its construct"};
    return names[int(j)];
}

// A report the ledger could not settle: no entry, or several, judge it.
inline bool unsettled(judgement_t j) {
    return j == judgement_t::unjudged || j == judgement_t::ambiguous;
}

struct report_t {
    std::string kind; // "data race", "Race", "ConflictingAccess", "InvalidRead"...
    std::vector<std::vector<frame_t>> access_stacks; // the stacks of the accesses themselves
    std::vector<access_kind_t> access_kinds;         // one per access stack
    // Where the memory was allocated, when valgrind's tools say: helgrind counts an allocation
    // as its thread's first write, and gives it instead of a conflicting access it no longer
    // knows (or besides a stale one, from before the memory was freed and allocated again).
    std::vector<frame_t> allocation;
    memory_t memory;
    std::string key;   // identifies the report across runs and threads
    bool own = false;  // the access was made by our code
    std::string where; // the first frame that decided `own`, for the record
    judgement_t judgement = judgement_t::none;
    // The ledger entry whose verdict it takes (for several, when ambiguous: all of them).
    std::string finding;
    int run = 0; // the run (1-based) of its program that gave it
};

struct report_summary_t {
    int distinct = 0;
    int own = 0;
    int library = 0;
    std::vector<report_t> reports; // one per distinct key
};

// What counts as our own code. The loaded object decides first: code in the program that was
// run, or in a shared library of this repository's build (`library_dir`), is ours whatever its
// debug paths say (a build from another checkout, -ffile-prefix-map, relative paths); code in
// any other object is not. Only a frame whose object is unknown (or a report read without
// knowing the program) is judged by its source file lying under `source_dir`.
struct own_code_t {
    std::string source_dir;
    std::string program;     // path of the program that was run
    std::string library_dir; // folder of the libraries built from this repository, or ""
};

// The findings ledger: what each known report inside a library is. A detector's report is
// evidence, not a verdict; an entry judges one finding once, as a data race in the library
// (with its evidence) or a false alarm (with the synchronisation the tool does not see), for
// the memory it names, and every report that shows the entry's two accesses on that memory
// takes that judgement. A library report no entry matches is unjudged, one that two entries
// match is ambiguous; both are shown with their frames and memory so that an entry can be
// written or narrowed.
#pragma once

#include "program.h"
#include "report.h"

#include <map>
#include <string>
#include <vector>

struct finding_t {
    std::string id;
    std::string library;
    // The Debian source package whose version decides whether the finding applies ("" for a
    // library of no package), and the versions it applies to: from `from` on (any, when ""),
    // before `before` (none, when "").
    std::string package, from, before;
    std::string memory;  // what is raced on, in words: a global by name, or a field
    race_label_t frames; // the two accesses, by object and function, as race labels name them
    // The memory as reports place it ("where"); any memory when empty, which only an entry
    // whose two sides name functions may leave out.
    std::vector<where_t> where;
    bool race = false;    // verdict "race" (else "false alarm")
    std::string evidence; // the upstream issue, commit or document; or the unseen synchronisation
    // The report kinds it judges ("CondErr"); by default a data race as each tool names it.
    std::vector<std::string> kinds;
    std::vector<std::string> tools;    // the detectors known to report it
    std::vector<std::string> programs; // the corpus programs it shows in
};

struct ledger_t {
    std::vector<finding_t> findings;
};

// Parses the ledger text; throws std::runtime_error naming the faulty entry.
ledger_t parse_ledger(const std::string &text);

// Reads and parses the ledger file (an empty ledger when `path` is ""), once per runner: later
// calls return what the first read.
ledger_t load_ledger(const std::string &path);

// Reads and parses the ledger file as it is now.
ledger_t read_ledger(const std::string &path);

// The entries that judge the report: those whose kinds, memory ("where") and two sides all
// match it. Each side is matched against the named top of a stack (named_stack_top in
// judge.h) and the kind of that access ("read" or "write"; helgrind's allocation stands for a
// write); a side without functions takes any frame of its objects. A report with one stack
// (drd) is judged by that side alone. One entry is a verdict; two or more make the report
// ambiguous, and none leaves it unjudged.
std::vector<const finding_t *> judge_report(const report_t &r, const ledger_t &ledger);

// Judges a library report of program `p` (sets its judgement and finding): a labelled race
// when it shows the program's label, else the verdict of the one ledger entry that matches it,
// ambiguous when several do (`finding` lists them), a labelled rule break on a library-rule
// twin (its hand-over leaves the handed object unordered in every access, not only in the
// labelled pair), else "unjudged".
void judge_library_report(report_t &r, const program_t &p, const ledger_t &ledger,
                          bool shows_label);

// True when a report of a library-rule twin lies on the memory its label names (the handed
// object): the fallout of the hand-over, whichever code made the access (our callbacks read
// the library's buffers too).
bool on_handed_object(const report_t &r, const program_t &p);

// Source package -> version of the libraries a build's programs load: the installed packages',
// or for a build with libraries of its own (<bin>/../instrumented/versions.txt), those built.
std::map<std::string, std::string> library_versions(const std::string &bin);

// dpkg's order of Debian versions: a < b.
bool version_before(const std::string &a, const std::string &b);

// Whether the finding applies to the given versions (always, for a finding of no package).
bool finding_applies(const finding_t &f, const std::map<std::string, std::string> &versions);

// The ledger at `path` with only the findings that apply to the libraries the programs in `bin`
// load (a fault in the ledger throws runner_error-worthy std::runtime_error).
ledger_t applicable_ledger(const std::string &path, const std::string &bin);

// The findings of `all` that apply to these versions, each with the places ("where") that
// hold for them; an entry whose places all belong to other builds is left out.
ledger_t ledger_for_versions(ledger_t all, const std::map<std::string, std::string> &versions);

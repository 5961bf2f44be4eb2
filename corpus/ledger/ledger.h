// The findings ledger: what each known report inside a library is. A detector's report is
// evidence, not a verdict; an entry judges one finding once, as a data race in the library
// (with its evidence) or a false alarm (with the synchronisation the tool does not see), and
// every report that shows the entry's two accesses takes that judgement. A library report no
// entry matches is unjudged, and shown with its frames so that an entry can be written.
#pragma once

#include "manifest.h"
#include "parse.h"

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
    std::string memory;   // what is raced on: a global by name, or a field
    race_label_t frames;  // the two accesses, by object and function, as race labels name them
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

// Reads and parses the ledger file (an empty ledger when `path` is "").
ledger_t load_ledger(const std::string &path);

// The entry that judges the report, or nullptr. Each side of an entry is matched against the
// top of a stack: its first frame past the detector's runtime and libc's memory functions, or
// where that frame has no name (a stripped library), the first named frame of the same object
// below it. A side without functions takes any frame of its objects. A report with one stack
// (drd) is judged by that side alone.
const finding_t *judge_report(const report_t &r, const ledger_t &ledger);

// "function (object)" of the frame that a ledger side is matched against at the top of `stack`
// ("?" for a frame without a name), so that an unjudged report shows what an entry would name.
std::string stack_top_name(const std::vector<frame_t> &stack);

// Source package -> version of the libraries a build's programs load: the installed packages',
// or for a build with libraries of its own (<bin>/../instrumented/versions.txt), those built.
std::map<std::string, std::string> library_versions(const std::string &bin);

// Whether the finding applies to the given versions (always, for a finding of no package).
bool finding_applies(const finding_t &f, const std::map<std::string, std::string> &versions);

// The ledger at `path` with only the findings that apply to the libraries the programs in `bin`
// load (a fault in the ledger throws runner_error-worthy std::runtime_error).
ledger_t applicable_ledger(const std::string &path, const std::string &bin);

// "verdict" as the ledger spells it.
inline const char *verdict_name(const finding_t &f) {
    return f.race ? "race" : "false alarm";
}

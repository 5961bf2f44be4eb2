#include "ledger.h"

#include "judge.h"
#include "memory.h"
#include "process.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

using nlohmann::json;
namespace fs = std::filesystem;

static std::vector<std::string> one_or_many(const json &j, const char *key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null())
        return {};
    return it->is_array() ? it->get<std::vector<std::string>>()
                          : std::vector<std::string>{it->get<std::string>()};
}

static std::string text(const json &j, const char *key) {
    auto it = j.find(key);
    return it == j.end() || it->is_null() ? "" : it->get<std::string>();
}

static finding_t parse_finding(const json &e) {
    finding_t f;
    f.id = e.at("id").get<std::string>();
    f.library = e.at("library").get<std::string>();
    f.package = text(e, "package");
    if (auto v = e.find("versions"); v != e.end()) {
        f.from = text(*v, "from");
        f.before = text(*v, "before");
    }
    f.memory = e.at("memory").get<std::string>();
    f.frames.object = f.memory;
    for (const auto &a : e.at("accesses")) {
        race_access_t access;
        access.objects = one_or_many(a, "object");
        access.functions = one_or_many(a, "function");
        access.kind = a.at("kind").get<std::string>();
        if (access.objects.empty())
            throw std::runtime_error("an access names its \"object\"");
        if (access.kind != "read" && access.kind != "write" && access.kind != "any")
            throw std::runtime_error("an access kind is \"read\", \"write\" or \"any\"");
        f.frames.accesses.push_back(access);
    }
    if (f.frames.accesses.size() != 2)
        throw std::runtime_error("a finding names exactly two accesses");
    const std::string verdict = e.at("verdict").get<std::string>();
    if (verdict != "race" && verdict != "false alarm")
        throw std::runtime_error("the verdict is \"race\" or \"false alarm\", not \"" + verdict +
                                 "\"");
    f.race = verdict == "race";
    if (e.contains("where"))
        f.where = parse_where(e.at("where"));
    // A side that takes unnamed frames or any function of its objects judges every report of
    // those objects, whatever memory it touches: such an entry must say which memory it is.
    for (const auto &a : f.frames.accesses) {
        const bool loose = a.functions.empty() ||
                           std::find(a.functions.begin(), a.functions.end(), "?") != a.functions.end();
        if (loose && f.where.empty())
            throw std::runtime_error("a side with \"?\" or without functions needs a \"where\"");
    }
    for (auto &w : f.where) {
        if (!w.section.empty() && (w.since.empty() || w.before.empty()) &&
            (f.from.empty() || f.before.empty()))
            throw std::runtime_error("offsets belong to one build: an offset range comes with "
                                     "\"versions\" {\"from\", \"before\"}, its own or its entry's");
        if ((!w.since.empty() || !w.before.empty()) && f.package.empty())
            throw std::runtime_error("a \"where\" with versions needs the entry's \"package\"");
    }
    f.evidence = e.at("evidence").get<std::string>();
    if (f.evidence.empty())
        throw std::runtime_error("a verdict comes with its evidence");
    f.kinds = one_or_many(e, "kinds");
    if (f.kinds.empty())
        f.kinds = {"data race", "Race", "ConflictingAccess"}; // tsan, helgrind, drd
    f.tools = one_or_many(e, "tools");
    f.programs = one_or_many(e, "programs");
    return f;
}

ledger_t parse_ledger(const std::string &source) {
    ledger_t l;
    const json j = json::parse(source);
    for (const auto &e : j.at("findings")) {
        const std::string id = e.contains("id") && e["id"].is_string() ? e["id"] : "?";
        try {
            l.findings.push_back(parse_finding(e));
        } catch (const std::exception &ex) {
            throw std::runtime_error("ledger entry " + id + ": " + ex.what());
        }
        for (size_t i = 0; i + 1 < l.findings.size(); ++i)
            if (l.findings[i].id == id)
                throw std::runtime_error("ledger entry " + id + " is there twice");
    }
    return l;
}

ledger_t load_ledger(const std::string &path) {
    if (path.empty())
        return {};
    const std::string source = read_file(path);
    if (source.empty())
        throw std::runtime_error("cannot read the ledger " + path);
    try {
        return parse_ledger(source);
    } catch (const std::exception &e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

// "any" takes a read or a write: the same call both reads and writes the memory, and which of
// the two a tool reports depends on the schedule.
static bool kind_matches(access_kind_t k, const std::string &kind) {
    return k == access_kind_t::unknown || kind == "any" ||
           (k == access_kind_t::write) == (kind == "write");
}

static bool side_matches(const std::vector<frame_t> &stack, access_kind_t kind,
                         const race_access_t &a) {
    const frame_t *top = named_stack_top(stack);
    if (!top || !frame_in_objects(*top, a.objects) || !kind_matches(kind, a.kind))
        return false;
    if (a.functions.empty())
        return true;
    for (const auto &fn : a.functions)
        if (function_named(top->function, fn))
            return true;
    return false;
}

static bool entry_matches(const report_t &r, const finding_t &f) {
    if (std::find(f.kinds.begin(), f.kinds.end(), r.kind) == f.kinds.end())
        return false;
    if (!f.where.empty() && !memory_matches_any(r.memory, f.where))
        return false;
    // The allocation stands for the allocating thread's first write, as in the labels.
    auto stacks = r.access_stacks;
    auto kinds = r.access_kinds;
    kinds.resize(stacks.size(), access_kind_t::unknown);
    if (!r.allocation.empty()) {
        stacks.push_back(r.allocation);
        kinds.push_back(access_kind_t::write);
    }
    const auto &a = f.frames.accesses;
    if (stacks.size() == 1)
        return side_matches(stacks[0], kinds[0], a[0]) || side_matches(stacks[0], kinds[0], a[1]);
    for (size_t i = 0; i < stacks.size(); ++i)
        for (size_t j = 0; j < stacks.size(); ++j)
            if (i != j && side_matches(stacks[i], kinds[i], a[0]) &&
                side_matches(stacks[j], kinds[j], a[1]))
                return true;
    return false;
}

std::vector<const finding_t *> judge_report(const report_t &r, const ledger_t &ledger) {
    std::vector<const finding_t *> matches;
    for (const auto &f : ledger.findings)
        if (entry_matches(r, f))
            matches.push_back(&f);
    return matches;
}

// A racy program whose label names a library's objects breaks that library's rule.
static bool library_rule_twin(const program_t &p) {
    if (!p.race)
        return false;
    for (const auto &a : p.race->accesses)
        if (a.file.empty())
            return true;
    return false;
}

void judge_library_report(report_t &r, const program_t &p, const ledger_t &ledger,
                          bool shows_label) {
    r.finding.clear();
    if (shows_label) {
        r.judgement = "labelled race";
        return;
    }
    const auto entries = judge_report(r, ledger);
    if (entries.size() == 1) {
        r.judgement = verdict_name(*entries[0]);
        r.finding = entries[0]->id;
    } else if (entries.size() > 1) {
        r.judgement = "ambiguous";
        for (const auto *f : entries)
            r.finding += (r.finding.empty() ? "" : ", ") + f->id;
    } else {
        r.judgement = library_rule_twin(p) ? "labelled rule break" : "unjudged";
    }
}

std::map<std::string, std::string> library_versions(const std::string &bin) {
    std::map<std::string, std::string> v;
    std::istringstream installed(
        capture_output({"dpkg-query", "-W", "-f=${source:Package} ${source:Version}\\n"}, {}, 60));
    std::string package, version;
    while (installed >> package >> version)
        v.emplace(package, version);
    // "expat installed 2.5.0-1+deb12u5 built 2.5.0-1+deb12u2"
    std::istringstream built(
        read_file((fs::path(bin).parent_path() / "instrumented" / "versions.txt").string()));
    std::string line;
    while (std::getline(built, line)) {
        std::istringstream words(line);
        std::string name, w1, installed_version, w2, built_version;
        if (words >> name >> w1 >> installed_version >> w2 >> built_version && w2 == "built")
            v[name] = built_version;
    }
    return v;
}

// dpkg's order of versions: a < b.
static bool version_before(const std::string &a, const std::string &b) {
    return capture_output(
               {"sh", "-c", "dpkg --compare-versions \"$0\" lt \"$1\" && echo yes", a, b}, {},
               30) == "yes\n";
}

bool finding_applies(const finding_t &f, const std::map<std::string, std::string> &versions) {
    if (f.package.empty())
        return true;
    auto it = versions.find(f.package);
    if (it == versions.end())
        return false;
    if (!f.from.empty() && version_before(it->second, f.from))
        return false;
    return f.before.empty() || version_before(it->second, f.before);
}

ledger_t applicable_ledger(const std::string &path, const std::string &bin) {
    ledger_t all = load_ledger(path);
    if (all.findings.empty())
        return all;
    return ledger_for_versions(std::move(all), library_versions(bin));
}

ledger_t ledger_for_versions(ledger_t all, const std::map<std::string, std::string> &versions) {
    ledger_t kept;
    for (auto &f : all.findings) {
        if (!finding_applies(f, versions))
            continue;
        // The places that hold for these versions; an entry whose places all belong to other
        // builds judges nothing here (it must not take any memory).
        std::vector<where_t> where;
        for (const auto &w : f.where) {
            finding_t range;
            range.package = f.package;
            range.from = w.since;
            range.before = w.before;
            if (finding_applies(range, versions))
                where.push_back(w);
        }
        if (!f.where.empty() && where.empty())
            continue;
        f.where = std::move(where);
        kept.findings.push_back(std::move(f));
    }
    return kept;
}

#include "ledger.h"

#include "judge.h"
#include "memory.h"
#include "process.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>

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

// A Debian version as dpkg takes it: [epoch:]upstream[-revision], the upstream part starting
// with a digit, of letters, digits and ".+~-:" only.
static bool debian_version(const std::string &v) {
    const size_t colon = v.find(':');
    const std::string epoch = colon == std::string::npos ? "" : v.substr(0, colon);
    const std::string rest = colon == std::string::npos ? v : v.substr(colon + 1);
    if ((colon != std::string::npos &&
         (epoch.empty() || epoch.find_first_not_of("0123456789") != std::string::npos)) ||
        rest.empty() || !isdigit(static_cast<unsigned char>(rest[0])) || rest.back() == '-')
        return false;
    for (char c : rest)
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr(".+~-:", c))
            return false;
    return true;
}

// A "versions" field: {"from": ..., "before": ...}, Debian versions, from before before.
static void parse_versions(const json &v, std::string &from, std::string &before) {
    if (!v.is_object())
        throw std::runtime_error("\"versions\" is {\"from\", \"before\"}");
    for (const auto &[end, version] : v.items()) {
        if ((end != "from" && end != "before") || !version.is_string() ||
            !debian_version(version.get<std::string>()))
            throw std::runtime_error("\"versions\" names \"from\" and \"before\" as Debian "
                                     "versions, not " +
                                     end + " " + version.dump());
        (end == "from" ? from : before) = version;
    }
    if (!from.empty() && !before.empty() && !version_before(from, before))
        throw std::runtime_error("\"versions\": " + from + " is not before " + before);
}

// The two sides of an entry, each in a library by its objects and functions.
static std::vector<race_access_t> parse_sides(const json &accesses) {
    if (!accesses.is_array())
        throw std::runtime_error("\"accesses\" is a list of two");
    std::vector<race_access_t> sides;
    for (const auto &a : accesses) {
        if (!a.is_object())
            throw std::runtime_error("an access is an object");
        race_access_t access;
        access.in_library = true;
        access.objects = one_or_many(a, "object");
        access.functions = one_or_many(a, "function");
        access.kind = a.at("kind").get<std::string>();
        if (access.objects.empty())
            throw std::runtime_error("an access names its \"object\"");
        if (access.kind != "read" && access.kind != "write" && access.kind != "any")
            throw std::runtime_error("an access kind is \"read\", \"write\" or \"any\"");
        sides.push_back(access);
    }
    if (sides.size() != 2)
        throw std::runtime_error("a finding names exactly two accesses");
    return sides;
}

// The memory of an entry, checked against its sides and versions.
static void check_where(const finding_t &f) {
    // A side that takes unnamed frames or any function of its objects judges every report of
    // those objects, whatever memory it touches: such an entry must say which memory it is.
    for (const auto &a : f.frames.accesses) {
        const bool loose = a.functions.empty() || std::find(a.functions.begin(), a.functions.end(),
                                                            "?") != a.functions.end();
        if (loose && f.where.empty())
            throw std::runtime_error("a side with \"?\" or without functions needs a \"where\"");
    }
    for (const auto &w : f.where) {
        if (!w.since.empty() || !w.before.empty()) {
            std::string from, before;
            parse_versions(json{{"from", w.since.empty() ? "0" : w.since},
                                {"before", w.before.empty() ? "99999" : w.before}},
                           from, before);
        }
        if (!w.section.empty() && (w.since.empty() || w.before.empty()) &&
            (f.from.empty() || f.before.empty()))
            throw std::runtime_error("offsets belong to one build: an offset range comes with "
                                     "\"versions\" {\"from\", \"before\"}, its own or its entry's");
        if ((!w.since.empty() || !w.before.empty()) && f.package.empty())
            throw std::runtime_error("a \"where\" with versions needs the entry's \"package\"");
    }
}

static finding_t parse_finding(const json &e) {
    finding_t f;
    if (!e.is_object())
        throw std::runtime_error("an entry is an object");
    f.id = e.at("id").get<std::string>();
    for (char c : f.id)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            throw std::runtime_error("an id is letters, digits, '-', '_' and '.'");
    f.library = e.at("library").get<std::string>();
    f.package = text(e, "package");
    if (auto v = e.find("versions"); v != e.end())
        parse_versions(*v, f.from, f.before);
    f.memory = e.at("memory").get<std::string>();
    f.frames.object = f.memory;
    f.frames.accesses = parse_sides(e.at("accesses"));
    const std::string verdict = e.at("verdict").get<std::string>();
    if (verdict != "race" && verdict != "false alarm")
        throw std::runtime_error("the verdict is \"race\" or \"false alarm\", not \"" + verdict +
                                 "\"");
    f.race = verdict == "race";
    if (e.contains("where"))
        f.where = parse_where(e.at("where"));
    check_where(f);
    f.evidence = e.at("evidence").get<std::string>();
    if (f.evidence.empty())
        throw std::runtime_error("a verdict comes with its evidence");
    f.kinds = one_or_many(e, "kinds");
    if (f.kinds.empty())
        f.kinds = race_kinds(); // a data race as each detector names it
    f.tools = one_or_many(e, "tools");
    f.programs = one_or_many(e, "programs");
    return f;
}

ledger_t parse_ledger(const std::string &source) {
    ledger_t l;
    const json j = parse_json_bounded(source);
    if (!j.is_object() || !j.contains("findings") || !j["findings"].is_array())
        throw std::runtime_error("a ledger is {\"findings\": [...]}");
    std::set<std::string> ids;
    for (const auto &e : j.at("findings")) {
        std::string id = e.is_object() && e.contains("id") && e["id"].is_string() ? e["id"] : "?";
        // An id is printed: control bytes and the like are shown escaped.
        id = json(id).dump(-1, ' ', true, json::error_handler_t::replace);
        id = id.substr(1, id.size() - 2);
        try {
            l.findings.push_back(parse_finding(e));
        } catch (const std::exception &ex) {
            throw std::runtime_error("ledger entry " + id + ": " + ex.what());
        }
        if (!ids.insert(l.findings.back().id).second)
            throw std::runtime_error("ledger entry " + id + " is there twice");
    }
    return l;
}

// The ledger as the runner first read it: one invocation judges every run by one ledger, even
// when its file changes meanwhile.
ledger_t load_ledger(const std::string &path) {
    if (path.empty())
        return {};
    static std::mutex mutex;
    static std::map<std::string, ledger_t> loaded;
    std::lock_guard<std::mutex> hold(mutex);
    if (auto it = loaded.find(path); it != loaded.end())
        return it->second;
    return loaded[path] = read_ledger(path);
}

ledger_t read_ledger(const std::string &path) {
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
        if (a.in_library)
            return true;
    return false;
}

bool on_handed_object(const report_t &r, const program_t &p) {
    if (!library_rule_twin(p))
        return false;
    for (const auto &a : p.race->accesses)
        if (memory_matches_any(r.memory, a.where))
            return true;
    return false;
}

void judge_library_report(report_t &r, const program_t &p, const ledger_t &ledger,
                          bool shows_label) {
    r.finding.clear();
    if (shows_label) {
        r.judgement = judgement_t::labelled_race;
        return;
    }
    // The construct orders every access to its memory: whatever a ledger entry says of the
    // same functions on other programs, here the report is the construct's false alarm.
    if (!p.race && memory_matches_any(r.memory, p.construct_memory)) {
        r.judgement = judgement_t::construct_alarm;
        return;
    }
    const auto entries = judge_report(r, ledger);
    if (entries.size() == 1) {
        r.judgement = entries[0]->race ? judgement_t::race : judgement_t::false_alarm;
        r.finding = entries[0]->id;
    } else if (entries.size() > 1) {
        r.judgement = judgement_t::ambiguous;
        for (const auto *f : entries)
            r.finding += (r.finding.empty() ? "" : ", ") + f->id;
    } else {
        r.judgement =
            library_rule_twin(p) ? judgement_t::labelled_rule_break : judgement_t::unjudged;
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

// dpkg's order of the characters of a version part: letters first, then the others, '~'
// before even the end of the part (lib/dpkg/version.c, order()).
static int version_char_order(int c) {
    if (isdigit(c))
        return 0;
    if (isalpha(c))
        return c;
    if (c == '~')
        return -1;
    return c ? c + 256 : 0;
}

// dpkg's comparison of an upstream version or a revision (verrevcmp): runs of non-digits by
// the order above, runs of digits as numbers.
static int compare_version_part(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        int first_diff = 0;
        while ((i < a.size() && !isdigit(static_cast<unsigned char>(a[i]))) ||
               (j < b.size() && !isdigit(static_cast<unsigned char>(b[j])))) {
            const int ac = version_char_order(i < a.size() ? static_cast<unsigned char>(a[i]) : 0);
            const int bc = version_char_order(j < b.size() ? static_cast<unsigned char>(b[j]) : 0);
            if (ac != bc)
                return ac - bc;
            ++i;
            ++j;
        }
        while (i < a.size() && a[i] == '0')
            ++i;
        while (j < b.size() && b[j] == '0')
            ++j;
        while (i < a.size() && j < b.size() && isdigit(static_cast<unsigned char>(a[i])) &&
               isdigit(static_cast<unsigned char>(b[j]))) {
            if (!first_diff)
                first_diff = a[i] - b[j];
            ++i;
            ++j;
        }
        if (i < a.size() && isdigit(static_cast<unsigned char>(a[i])))
            return 1;
        if (j < b.size() && isdigit(static_cast<unsigned char>(b[j])))
            return -1;
        if (first_diff)
            return first_diff;
    }
    return 0;
}

// dpkg's order of versions ([epoch:]upstream[-revision]): a < b. In-process, since a ledger's
// entries and places are each compared once per build a run loads.
bool version_before(const std::string &a, const std::string &b) {
    auto split = [](const std::string &v) {
        const size_t colon = v.find(':');
        const long epoch = colon == std::string::npos ? 0 : std::atol(v.substr(0, colon).c_str());
        std::string rest = colon == std::string::npos ? v : v.substr(colon + 1);
        const size_t dash = rest.rfind('-');
        std::string revision = dash == std::string::npos ? "" : rest.substr(dash + 1);
        if (dash != std::string::npos)
            rest.resize(dash);
        return std::make_tuple(epoch, rest, revision);
    };
    const auto [ea, ua, ra] = split(a);
    const auto [eb, ub, rb] = split(b);
    if (ea != eb)
        return ea < eb;
    if (int c = compare_version_part(ua, ub))
        return c < 0;
    return compare_version_part(ra, rb) < 0;
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
    // The versions a build loads are asked once per runner.
    static std::mutex mutex;
    static std::map<std::string, std::map<std::string, std::string>> versions;
    std::unique_lock<std::mutex> hold(mutex);
    auto it = versions.find(bin);
    if (it == versions.end())
        it = versions.emplace(bin, library_versions(bin)).first;
    const auto these = it->second;
    hold.unlock();
    return ledger_for_versions(std::move(all), these);
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

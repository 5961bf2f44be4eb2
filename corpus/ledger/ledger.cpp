#include "ledger.h"

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
        if (access.kind != "read" && access.kind != "write")
            throw std::runtime_error("an access kind is \"read\" or \"write\"");
        f.frames.accesses.push_back(access);
    }
    if (f.frames.accesses.size() != 2)
        throw std::runtime_error("a finding names exactly two accesses");
    const std::string verdict = e.at("verdict").get<std::string>();
    if (verdict != "race" && verdict != "false alarm")
        throw std::runtime_error("the verdict is \"race\" or \"false alarm\", not \"" + verdict +
                                 "\"");
    f.race = verdict == "race";
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

// The top of a stack as a ledger side sees it (see judge_report); nullptr for an empty stack.
static const frame_t *stack_top(const std::vector<frame_t> &stack) {
    const frame_t *top = nullptr;
    for (const auto &f : stack) {
        if (transparent_frame(f))
            continue;
        if (!top)
            top = &f;
        if (f.object != top->object)
            break;
        if (!f.function.empty())
            return &f;
    }
    return top;
}

// Whether a frame's function is the one a ledger names: "?" names a frame without a name; a
// C++ name is matched without its return type, template arguments and parameters
// ("std::__ostream_insert" names "std::ostream& std::__ostream_insert<char>(...)").
static bool function_named(const std::string &function, const std::string &name) {
    if (name == "?")
        return function.empty();
    // GCC's clones of a function ("callProcessor.constprop.0", "f.isra.0", "f.part.0") are
    // that function.
    std::string bare = bare_function(function);
    for (const char *clone : {".constprop.", ".isra.", ".part.", ".cold"})
        bare = bare.substr(0, bare.find(clone));
    std::string plain;
    int depth = 0;
    for (char c : bare)
        if (c == '<')
            ++depth;
        else if (c == '>')
            depth -= depth > 0;
        else if (depth == 0)
            plain += c;
    plain = plain.substr(plain.rfind(' ') == std::string::npos ? 0 : plain.rfind(' ') + 1);
    return !function.empty() && (bare == name || plain == name);
}

std::string stack_top_name(const std::vector<frame_t> &stack) {
    const frame_t *top = stack_top(stack);
    if (!top)
        return "-";
    return (top->function.empty() ? "?" : bare_function(top->function)) + " (" +
           top->object.substr(top->object.rfind('/') + 1) + ")";
}

static bool side_matches(const std::vector<frame_t> &stack, const race_access_t &a) {
    const frame_t *top = stack_top(stack);
    if (!top || !frame_in_objects(*top, a.objects))
        return false;
    if (a.functions.empty())
        return true;
    for (const auto &fn : a.functions)
        if (function_named(top->function, fn))
            return true;
    return false;
}

const finding_t *judge_report(const report_t &r, const ledger_t &ledger) {
    // The allocation stands for the allocating thread's first write, as in the labels.
    auto stacks = r.access_stacks;
    if (!r.allocation.empty())
        stacks.push_back(r.allocation);
    for (const auto &f : ledger.findings) {
        if (std::find(f.kinds.begin(), f.kinds.end(), r.kind) == f.kinds.end())
            continue;
        const auto &a = f.frames.accesses;
        if (stacks.size() == 1 && (side_matches(stacks[0], a[0]) || side_matches(stacks[0], a[1])))
            return &f;
        for (size_t i = 0; i < stacks.size(); ++i)
            for (size_t j = 0; j < stacks.size(); ++j)
                if (i != j && side_matches(stacks[i], a[0]) && side_matches(stacks[j], a[1]))
                    return &f;
    }
    return nullptr;
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
    ledger_t all = load_ledger(path), kept;
    if (all.findings.empty())
        return all;
    const auto versions = library_versions(bin);
    for (auto &f : all.findings)
        if (finding_applies(f, versions))
            kept.findings.push_back(std::move(f));
    return kept;
}

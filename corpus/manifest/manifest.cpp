#include "manifest.h"

#include "checks.h"
#include "files.h"
#include "memory.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

using nlohmann::json;

static std::string opt_string(const json &j, const char *key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null())
        return "";
    return it->get<std::string>();
}

static std::vector<std::string> opt_strings(const json &j, const char *key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null())
        return {};
    return it->get<std::vector<std::string>>();
}

// A race label. The corpus's own labels name two accesses in this repository; an outside
// program's may name files anywhere, or no access at all (a label taken from a file name,
// judged at file level only).
// The line that the tag comment "// race: <tag>" in `path` labels: its own, or the next one when
// the comment stands alone. Throws unless the tag is there exactly once.
static int tagged_line(const std::string &path, const std::string &tag) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path + " for the race tag \"" + tag + "\"");
    const std::string comment = "// race: " + tag;
    std::string line;
    int number = 0, found = 0, count = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t at = line.find(comment);
        if (at == std::string::npos)
            continue;
        const std::string rest = line.substr(at + comment.size());
        if (!rest.empty() && rest.find_first_not_of(" \t") != std::string::npos)
            continue; // a longer tag that begins with this one
        ++count;
        const bool alone = line.find_first_not_of(" \t") == at;
        found = alone ? number + 1 : number;
    }
    if (count != 1)
        throw std::runtime_error("the race tag \"" + tag + "\" is in " + path + " " +
                                 std::to_string(count) + " times, not once");
    if (found > number)
        throw std::runtime_error("the race tag \"" + tag + "\" ends " + path +
                                 ": no line follows it");
    return found;
}

static race_label_t parse_race(const json &j, bool outside, const std::string &sources,
                               const std::string &program) {
    race_label_t r;
    r.object = j.at("object").get<std::string>();
    const std::string kind = j.contains("kind") ? j.at("kind").get<std::string>() : "data race";
    if (!race_kind_named(kind))
        throw std::runtime_error("a race's kind is \"data race\" or \"lock order\", not \"" + kind +
                                 "\"");
    r.kind = *race_kind_named(kind);
    // A data race's accesses read or write; a lock order's take a lock.
    auto kind_ok = [&](const std::string &k) {
        return r.kind == race_kind_t::lock_order ? k == "lock" : k == "read" || k == "write";
    };
    const char *kinds = r.kind == race_kind_t::lock_order ? "\"lock\"" : "\"read\" or \"write\"";
    for (const auto &a : j.at("accesses")) {
        race_access_t access;
        access.file = opt_string(a, "file");
        access.tag = opt_string(a, "tag");
        access.line = a.contains("line") ? a.at("line").get<int>() : 0;
        access.kind = a.at("kind").get<std::string>();
        if (a.contains("where"))
            access.where = parse_where(a.at("where"));
        if (auto o = a.find("object"); o != a.end())
            access.objects = o->is_array() ? o->get<std::vector<std::string>>()
                                           : std::vector<std::string>{o->get<std::string>()};
        if (!kind_ok(access.kind))
            throw std::runtime_error(std::string("race access kind must be ") + kinds);
        if (auto f = a.find("function"); f != a.end())
            access.functions = f->is_array() ? f->get<std::vector<std::string>>()
                                             : std::vector<std::string>{f->get<std::string>()};
        if (access.file.empty()) {
            access.in_library = true;
            if (access.objects.empty() || access.functions.empty())
                throw std::runtime_error(
                    "a race access inside a library names its \"object\" and \"function\"");
            r.accesses.push_back(access);
            continue;
        }
        if (!outside && (access.file[0] == '/' || access.file.find("..") != std::string::npos))
            throw std::runtime_error("race access file must be a path inside the repository");
        if (access.objects.empty())
            access.objects = {program};
        if (!access.tag.empty() && a.contains("line"))
            throw std::runtime_error("a race access names its line by a tag or a number, not both");
        if (!access.tag.empty() && !sources.empty())
            access.line = tagged_line(
                access.file[0] == '/' ? access.file : sources + "/" + access.file, access.tag);
        if (access.tag.empty() && access.line < 1)
            throw std::runtime_error("race access line must be positive");
        r.accesses.push_back(access);
    }
    if (r.accesses.size() != 2 && !(outside && r.accesses.empty()))
        throw std::runtime_error("a race names exactly two accesses");
    return r;
}

static program_t parse_program(const json &j, const std::string &base_dir,
                               const std::string &source_dir) {
    program_t p;
    p.base_dir = base_dir;
    p.name = j.at("program").get<std::string>();
    if (!plain_program_name(p.name))
        throw std::runtime_error("manifest: program name \"" + p.name +
                                 "\" is not a plain name (letters, digits, _ - .)");
    try {
        p.executable = opt_string(j, "executable");
        // An outside program needs no subsystem, library, variant or rationale of ours.
        const bool outside = !p.executable.empty();
        const json &race = j.at("race");
        if (!race.is_null())
            p.race = parse_race(race, outside, outside ? base_dir : source_dir,
                                outside ? std::filesystem::path(p.executable).filename().string()
                                        : p.name);
        p.subsystem = outside ? opt_string(j, "subsystem") : j.at("subsystem").get<std::string>();
        p.library = outside ? opt_string(j, "library") : j.at("library").get<std::string>();
        const std::string variant = outside && !j.contains("variant")
                                        ? std::string(p.race ? "racy" : "unserialized")
                                        : j.at("variant").get<std::string>();
        if (!variant_named(variant))
            throw std::runtime_error("unknown variant " + variant);
        p.variant = *variant_named(variant);
        p.twin = opt_string(j, "twin");
        const std::string axis = opt_string(j, "axis");
        if (!axis.empty() && !axis_named(axis))
            throw std::runtime_error("unknown axis " + axis +
                                     " (built-in, memory-model, lock-order, schedule, reach, "
                                     "visibility)");
        if (!axis.empty())
            p.axis = *axis_named(axis);
        if (auto c = j.find("construct_memory"); c != j.end()) {
            if (p.race || p.axis == axis_t::built_in)
                throw std::runtime_error("only a race-free twin off the built-in axis names the "
                                         "memory its construct orders");
            p.construct_memory = parse_where(*c);
        }
        auto m = j.find("markers");
        if (m != j.end() && !m->is_null()) {
            if (!m->is_array() || m->size() != 2)
                throw std::runtime_error("markers must be a pair");
            p.open_marker = (*m)[0].is_null() ? "" : (*m)[0].get<std::string>();
            p.close_marker = (*m)[1].is_null() ? "" : (*m)[1].get<std::string>();
        }
        p.inputs = opt_strings(j, "inputs");
        p.outputs = opt_strings(j, "outputs");
        p.args = opt_strings(j, "args");
        if (auto e = j.find("env"); e != j.end())
            p.env = e->get<std::map<std::string, std::string>>();
        p.serve = opt_string(j, "serve");
        p.stop_when_whole = opt_string(j, "stop_when_whole");
        p.window_shot = opt_string(j, "window_shot");
        if (p.serve.empty() != p.stop_when_whole.empty())
            throw std::runtime_error("a served sample (\"serve\") and the output that ends the "
                                     "run (\"stop_when_whole\") come together");
        p.rationale = outside ? opt_string(j, "rationale") : j.at("rationale").get<std::string>();
        p.verdict = outside && !j.contains("verdict") ? std::string(p.race ? "racy" : "race-free")
                                                      : j.at("verdict").get<std::string>();
        if ((p.variant == variant_t::racy) != p.race.has_value())
            throw std::runtime_error("a racy program, and only a racy one, has a race label");
        if (p.race && p.twin.empty() && !outside)
            throw std::runtime_error("a racy program names its race-free twin");
        p.check = read_check(j.at("check"), p);
    } catch (const std::exception &e) {
        throw std::runtime_error("manifest entry " + p.name + ": " + e.what());
    }
    return p;
}

manifest_t parse_manifest(const std::string &text, const std::string &base_dir,
                          const std::string &source_dir) {
    manifest_t m;
    json j;
    try {
        j = parse_json_bounded(text);
        for (const auto &e : j.at("programs"))
            m.programs.push_back(parse_program(e, base_dir, source_dir));
    } catch (const json::exception &e) {
        throw std::runtime_error(std::string("manifest: ") + e.what());
    }
    std::set<std::string> names;
    for (const auto &p : m.programs)
        if (!names.insert(p.name).second)
            throw std::runtime_error("manifest: program " + p.name + " listed twice");
    for (const auto &p : m.programs)
        if (!p.twin.empty() && !names.count(p.twin))
            throw std::runtime_error("manifest entry " + p.name + ": unknown twin " + p.twin);
    return m;
}

manifest_t load_manifest(const std::string &path, const std::string &source_dir) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    std::string dir = std::filesystem::absolute(path).parent_path().string();
    try {
        return parse_manifest(s.str(), dir, source_dir.empty() ? CORPUS_SOURCE_DIR : source_dir);
    } catch (const std::exception &e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

std::vector<const program_t *> select_programs(const manifest_t &m,
                                               const std::vector<std::string> &names,
                                               const std::string &variant) {
    std::set<std::string> wanted(names.begin(), names.end());
    for (const auto &name : wanted)
        if (!find_program(m, name))
            throw runner_error("no program " + name + " in the manifest");
    std::vector<const program_t *> selected;
    for (const auto &p : m.programs)
        if ((wanted.empty() || wanted.count(p.name)) &&
            (variant.empty() || variant_name(p.variant) == variant))
            selected.push_back(&p);
    if (selected.empty())
        throw runner_error("no program selected");
    return selected;
}

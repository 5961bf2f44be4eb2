#include "manifest.h"

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

static void require_count(const json &check, const char *key, bool zero_allowed) {
    auto it = check.find(key);
    if (it == check.end())
        throw std::runtime_error(std::string("check needs \"") + key + "\"");
    if (!it->is_number_integer() || it->get<long long>() < (zero_allowed ? 0 : 1) ||
        it->get<long long>() > 100000)
        throw std::runtime_error(std::string("check parameter \"") + key + "\" must be a " +
                                 (zero_allowed ? "non-negative" : "positive") + " integer");
}

static void require_listed(const std::vector<std::string> &names, const char *what) {
    if (names.empty() || names[0].empty())
        throw std::runtime_error(std::string("check needs a file in \"") + what + "\"");
}

// Each check kind reads its own parameters and files; a missing or mistyped one is an error of
// the manifest, not a default that would let the check pass.
static void validate_check(const program_t &p) {
    const json &c = p.check;
    if (!c.is_object())
        throw std::runtime_error("check must be an object");
    const std::string kind = c.at("kind").get<std::string>();
    if (kind == "xml_single" || kind == "xml_fanout") {
        require_listed(p.inputs, "inputs");
    } else if (kind == "png_fanout") {
        require_listed(p.outputs, "outputs");
    } else if (kind == "image_crop") {
        for (const char *key : {"x", "y"})
            require_count(c, key, true);
        for (const char *key : {"width", "height"})
            require_count(c, key, false);
        require_listed(p.inputs, "inputs");
        require_listed(p.outputs, "outputs");
    } else if (kind == "download") {
        if (p.serve.empty())
            throw std::runtime_error("check needs a served file (\"serve\")");
    } else if (kind == "gzip_stream") {
        require_count(c, "members", false);
    } else if (kind == "omp_hello") {
        require_count(c, "threads", false);
        if (c.contains("first_line") && !c["first_line"].is_string())
            throw std::runtime_error("check parameter \"first_line\" must be a string");
    } else if (kind != "zlib_roundtrip") {
        throw std::runtime_error("unknown check kind " + kind);
    }
}

static program_t parse_program(const json &j) {
    program_t p;
    p.name = j.at("program").get<std::string>();
    try {
        p.subsystem = j.at("subsystem").get<std::string>();
        p.library = j.at("library").get<std::string>();
        p.variant = j.at("variant").get<std::string>();
        p.twin = opt_string(j, "twin");
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
        p.check = j.at("check");
        p.rationale = j.at("rationale").get<std::string>();
        p.verdict = j.at("verdict").get<std::string>();
        validate_check(p);
    } catch (const std::exception &e) {
        throw std::runtime_error("manifest entry " + p.name + ": " + e.what());
    }
    static const std::set<std::string> variants{"serialized", "unserialized", "single-threaded"};
    if (!variants.count(p.variant))
        throw std::runtime_error("manifest entry " + p.name + ": unknown variant " + p.variant);
    return p;
}

manifest_t parse_manifest(const std::string &text) {
    manifest_t m;
    json j;
    try {
        j = json::parse(text);
        for (const auto &e : j.at("programs"))
            m.programs.push_back(parse_program(e));
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

manifest_t load_manifest(const std::string &path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return parse_manifest(s.str());
}

const program_t *find_program(const manifest_t &m, const std::string &name) {
    for (const auto &p : m.programs)
        if (p.name == name)
            return &p;
    return nullptr;
}

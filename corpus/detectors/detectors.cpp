#include "detectors.h"

#include "files.h"
#include "memory.h"
#include "program.h"
#include "text.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;
using nlohmann::json;

// --- Reading a detector file --------------------------------------------------------------------

namespace {
// A detector file's fields as they are read: each by name, type-checked, its absence a default.
struct fields_t {
    const json &j;
    const std::string &path;

    [[noreturn]] void fault(const std::string &field, const std::string &what) const {
        throw std::runtime_error(path + ": field \"" + field + "\" " + what);
    }
    std::string text(const char *field, bool required = false) const {
        auto it = j.find(field);
        if (it == j.end()) {
            if (required)
                fault(field, "is missing");
            return "";
        }
        if (!it->is_string())
            fault(field, "must be a string");
        return it->get<std::string>();
    }
    std::vector<std::string> texts(const json &v, const std::string &field) const {
        if (!v.is_array())
            fault(field, "must be a list of strings");
        std::vector<std::string> out;
        for (const auto &e : v) {
            if (!e.is_string() || e.get<std::string>().empty())
                fault(field, "must be a list of strings, none empty");
            out.push_back(e.get<std::string>());
        }
        return out;
    }
    std::vector<std::string> texts(const char *field) const {
        auto it = j.find(field);
        return it == j.end() ? std::vector<std::string>{} : texts(*it, field);
    }
    std::map<std::string, std::string> variables(const char *field) const {
        std::map<std::string, std::string> out;
        auto it = j.find(field);
        if (it == j.end())
            return out;
        if (!it->is_object())
            fault(field, "must be an object of strings");
        for (const auto &[name, value] : it->items()) {
            if (!value.is_string() || name.empty())
                fault(field, "must be an object of strings");
            out[name] = value.get<std::string>();
        }
        return out;
    }
    bool flag(const char *field, bool otherwise) const {
        auto it = j.find(field);
        if (it == j.end())
            return otherwise;
        if (!it->is_boolean())
            fault(field, "must be true or false");
        return it->get<bool>();
    }
    double number(const char *field, double otherwise, double min, double max) const {
        auto it = j.find(field);
        if (it == j.end())
            return otherwise;
        if (!it->is_number() || it->get<double>() < min || it->get<double>() > max)
            fault(field, "must be a number from " + fixed(min, 0) + " to " + fixed(max, 0));
        return it->get<double>();
    }
};
} // namespace

const char *format_name(report_format_t f) {
    return f == report_format_t::tsan_text      ? "tsan-text"
           : f == report_format_t::valgrind_xml ? "valgrind-xml"
                                                : "sarif";
}

static report_format_t format_named(const fields_t &f, const std::string &name) {
    for (auto format :
         {report_format_t::tsan_text, report_format_t::valgrind_xml, report_format_t::sarif})
        if (name == format_name(format))
            return format;
    f.fault("report.format",
            "must be \"tsan-text\", \"valgrind-xml\" or \"sarif\", not \"" + name + "\"");
}

// The "report" object: its format and its file, "tsan.*" for the files that start "tsan.".
static void read_report(const fields_t &f, detector_t &d) {
    auto it = f.j.find("report");
    if (it == f.j.end() || !it->is_object())
        f.fault("report", "must be an object with \"format\" and \"file\"");
    const fields_t r{*it, f.path};
    d.format = format_named(f, r.text("format", true));
    d.report_file = r.text("file", true);
    if (d.report_file.empty() || d.report_file.find('/') != std::string::npos ||
        d.report_file == "*")
        f.fault("report.file", "must name a file in the run's folder");
    d.report_prefix = d.report_file.back() == '*';
    if (d.report_prefix)
        d.report_file.pop_back();
    d.report_path = d.report_file;
    if (d.report_prefix && d.report_path.size() > 1 && d.report_path.back() == '.')
        d.report_path.pop_back();
    d.loaded_objects_log = r.text("loaded_objects_log");
}

static void read_runtime(const fields_t &f, detector_t &d) {
    auto it = f.j.find("runtime");
    if (it == f.j.end())
        return;
    if (!it->is_object())
        f.fault("runtime", "must be an object");
    const fields_t r{*it, f.path};
    d.runtime.objects = r.texts("objects");
    d.runtime.files = r.texts("files");
    d.runtime.function_prefixes = r.texts("function_prefixes");
    d.runtime.linked_functions = r.texts("linked_functions");
}

static void read_build(const fields_t &f, detector_t &d) {
    auto it = f.j.find("build");
    if (it == f.j.end())
        return;
    if (!it->is_object())
        f.fault("build", "must be an object");
    const fields_t b{*it, f.path};
    d.build_preset = b.text("preset");
    d.build_symbol = b.text("symbol");
    d.build_name = b.text("name");
    d.default_bin = b.text("bin");
    if (!d.build_preset.empty() && !plain_program_name(d.build_preset))
        f.fault("build.preset", "must be a preset's name");
}

// A detector file's text as a detector (`path` names it in errors).
static detector_t parse_detector(const std::string &text, const std::string &path) {
    json j;
    try {
        j = parse_json_bounded(text, 32);
    } catch (const std::exception &e) {
        throw std::runtime_error(path + ": not a detector file: " + e.what());
    }
    if (!j.is_object())
        throw std::runtime_error(path + ": not a detector file: a JSON object is");
    const fields_t f{j, path};
    detector_t d;
    d.file = path;
    d.name = f.text("name", true);
    if (!plain_program_name(d.name) || d.name.find('@') != std::string::npos)
        f.fault("name", "must be a plain name (letters, digits, _ - .)");
    d.runs_as = f.text("runs_as");
    if (d.runs_as.empty())
        d.runs_as = d.name;
    d.help = f.text("help", true);
    d.timeout_seconds = f.number("timeout", 60, 1, 86400);
    d.needs_command = f.text("needs");
    d.suppressions = f.text("suppressions");
    d.scored_by_default = f.flag("scored_by_default", false);
    d.run_command = f.flag("run_command", true);
    d.order = int(f.number("order", 1000, 0, 1000));
    d.command = f.texts("command");
    d.perturb_args = f.texts("perturb_args");
    d.suppress_args = f.texts("suppress_args");
    d.environment = f.variables("environment");
    d.suppress_environment = f.variables("suppress_environment");
    d.stderr_noise = f.texts("stderr_noise");
    read_report(f, d);
    read_runtime(f, d);
    read_build(f, d);
    d.race_kinds = f.texts("race_kinds");
    if (d.race_kinds.empty())
        f.fault("race_kinds", "must name how the detector reports a data race");
    d.lock_order_kinds = f.texts("lock_order_kinds");
    d.version_command = f.texts("version");
    d.version_prefix = f.text("version_prefix");
    return d;
}

// --- The detectors known ------------------------------------------------------------------------

static std::vector<detector_t> &known() {
    static std::vector<detector_t> all;
    return all;
}

// Adds a detector: its name must be new; its runtime and its name of a data race are known to
// every reading of a report from then on.
static void add(detector_t d) {
    auto &all = known();
    if (find_if(all.begin(), all.end(), [&](const detector_t &k) { return k.name == d.name; }) !=
        all.end())
        throw std::runtime_error(d.file + ": field \"name\": a detector " + d.name +
                                 " is already known");
    add_runtime_frames(d.runtime);
    for (const auto &kind : d.race_kinds)
        add_race_kind(kind);
    for (const auto &kind : d.lock_order_kinds)
        add_lock_order_kind(kind);
    all.push_back(std::move(d));
    std::stable_sort(all.begin(), all.end(),
                     [](const detector_t &a, const detector_t &b) { return a.order < b.order; });
}

static void read_builtin() {
    const fs::path dir = fs::path(CORPUS_DETECTOR_DIR);
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.path().extension() == ".json")
            files.push_back(e.path());
    if (ec || files.empty())
        throw std::runtime_error("no detector files in " + dir.string());
    std::sort(files.begin(), files.end());
    for (const auto &file : files)
        add(parse_detector(read_file(file.string()), file.string()));
}

const std::vector<detector_t> &detectors() {
    static std::once_flag once;
    std::call_once(once, read_builtin);
    return known();
}

void add_detector_file(const std::string &path) {
    detectors();
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw std::runtime_error(path + ": no such detector file");
    add(parse_detector(read_file(path), path));
}

const detector_t *find_detector(const std::string &name) {
    for (const auto &d : detectors())
        if (name == d.name)
            return &d;
    return nullptr;
}

std::string detector_names(bool run_command_only) {
    std::string names;
    for (const auto &d : detectors())
        if (d.run_command || !run_command_only)
            names += (names.empty() ? "" : "|") + d.name;
    return names;
}

double run_timeout(const run_settings_t &s, const std::string &tool) {
    if (s.timeout > 0)
        return s.timeout;
    const detector_t *d = find_detector(tool);
    return d ? d->timeout_seconds : 60;
}

// --- Wrapping a run -----------------------------------------------------------------------------

// `text` with {dir}, {report} and {suppressions} put in.
static std::string filled(std::string text, const detector_t &d, const run_settings_t &s,
                          const std::string &dir) {
    const std::pair<std::string, std::string> values[] = {
        {"{dir}", dir},
        {"{report}", (fs::path(dir) / d.report_path).string()},
        {"{suppressions}", s.suppressions},
        {"{detector_dir}", fs::path(d.file).parent_path().string()}};
    for (const auto &[name, value] : values)
        for (size_t at = text.find(name); at != std::string::npos;
             at = text.find(name, at + value.size()))
            text.replace(at, name.size(), value);
    return text;
}

void wrap_run(const detector_t &d, const run_settings_t &s, const std::string &dir,
              run_request_t &req) {
    std::vector<std::string> argv;
    auto add_args = [&](const std::vector<std::string> &args) {
        for (const auto &a : args)
            argv.push_back(filled(a, d, s, dir));
    };
    add_args(d.command);
    if (s.perturb)
        add_args(d.perturb_args);
    if (s.suppress)
        add_args(d.suppress_args);
    req.argv = argv;
    // The detector's settings first, so that the build's and the program's own add to them.
    auto set = [&](const std::map<std::string, std::string> &vars) {
        for (const auto &[name, value] : vars)
            req.env[name] = filled(value, d, s, dir) +
                            (req.env.count(name) ? " " + req.env[name] : std::string());
    };
    if (s.suppress)
        set(d.suppress_environment);
    set(d.environment);
}

bool options_variable(const std::string &name) {
    for (const auto &d : detectors())
        if (d.environment.count(name) || d.suppress_environment.count(name))
            return true;
    return false;
}

std::string clean_stderr(const detector_t &d, const std::string &err) {
    if (d.stderr_noise.empty())
        return err;
    std::string kept;
    for (std::string_view line : text_lines(err)) {
        bool noise = false;
        for (const auto &start : d.stderr_noise)
            noise = noise || line.substr(0, start.size()) == start;
        if (!noise)
            kept.append(line).append("\n");
    }
    return err.empty() || err.back() == '\n' || kept.empty() ? kept
                                                             : kept.substr(0, kept.size() - 1);
}

std::string tool_version(const detector_t &d, const run_settings_t &s) {
    if (d.version_command.empty())
        return "";
    std::vector<std::string> argv = d.version_command;
    for (auto &a : argv)
        if (a == "{compiler}") {
            const std::string cache =
                read_file((fs::path(s.bin).parent_path() / "CMakeCache.txt").string());
            const std::string compiler = cmake_cache_value(cache, "CMAKE_CXX_COMPILER");
            a = compiler.empty() ? "c++" : compiler;
        }
    return d.version_prefix + first_line(capture_output(argv, {}, 30));
}

// --- Reading the reports
// --------------------------------------------------------------------------

// A ThreadSanitizer log names a global's object by its file name: the file is looked for beside
// the program, in the build's libraries and in the system's.
static std::vector<loaded_object_t> objects_by_name(const std::vector<report_t> &reports,
                                                    const own_code_t &own) {
    const fs::path bin = fs::path(own.program).parent_path();
    const std::vector<fs::path> dirs = {bin, bin.parent_path() / "lib",
                                        bin.parent_path() / "instrumented" / "lib",
                                        "/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu"};
    std::vector<loaded_object_t> objects;
    for (const auto &r : reports) {
        const std::string &name = r.memory.object;
        if (name.empty() || name.find('/') != std::string::npos)
            continue;
        for (const auto &d : dirs) {
            std::error_code ec;
            if (fs::is_regular_file(d / name, ec)) {
                objects.push_back({0, fs::weakly_canonical(d / name, ec).string(), name});
                break;
            }
        }
    }
    return objects;
}

// The report files of the run: the one named, or every file that starts with the prefix.
static std::vector<std::string> report_files(const detector_t &d, const std::string &dir) {
    std::vector<std::string> files;
    if (!d.report_prefix)
        return {(fs::path(dir) / d.report_file).string()};
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec))
        if (entry.path().filename().string().rfind(d.report_file, 0) == 0)
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

static void problem(check_result_t &c, const std::string &what) {
    c.ok = false;
    c.problems.push_back(what);
}

void collect_reports(const detector_t &d, const std::string &dir, const own_code_t &own,
                     bool stopped, check_result_t &c, std::vector<report_t> &reports) {
    const std::string name = d.report_file + (d.report_prefix ? "*" : "");
    for (const auto &file : report_files(d, dir)) {
        const std::string text = read_file(file);
        std::string fault;
        std::vector<report_t> found;
        if (d.format == report_format_t::tsan_text) {
            found = parse_tsan_log(text, own);
        } else if (d.format == report_format_t::sarif) {
            found = parse_sarif(text, own, &fault);
            if (!stopped && text.empty())
                problem(c, name + " missing");
        } else {
            found = parse_valgrind_xml(text, own, &fault);
            // Without its closing tag the file may miss reports: that is no clean run. Only a
            // run the runner ended on purpose may leave it unfinished.
            if (!stopped && !valgrind_xml_finished(text))
                problem(c, name + " missing or unfinished");
        }
        const auto objects = d.loaded_objects_log.empty()
                                 ? objects_by_name(found, own)
                                 : valgrind_loaded_objects(
                                       read_file((fs::path(dir) / d.loaded_objects_log).string()));
        for (auto &r : found) {
            place_report_memory(r, objects);
            reports.push_back(r);
        }
        if (!fault.empty())
            problem(c, name + " could not be read whole: " + fault);
    }
}

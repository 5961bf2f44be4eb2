#include "detectors.h"

#include "files.h"
#include "memory.h"
#include "text.h"

#include <filesystem>

namespace fs = std::filesystem;

static std::string unchanged(const std::string &err) {
    return err;
}

// --- ThreadSanitizer --------------------------------------------------------------------------

static void tsan_wrap(const run_settings_t &opt, const std::string &dir, run_request_t &req) {
    // Quoted, so that paths with spaces stay one value. The build's and the program's own
    // settings come after the runner's, so that they add to them.
    // A longer history than the default, so that the earlier access of a race between threads
    // that did much else in between (inside an instrumented library, say) can still be told:
    // ThreadSanitizer drops a report whose earlier stack it cannot restore.
    std::string o = "log_path=\"" + (fs::path(dir) / "tsan").string() +
                    "\" exitcode=0 halt_on_error=0 history_size=7";
    if (opt.suppress)
        o += " suppressions=\"" + opt.suppressions + "/tsan.supp\"";
    if (req.env.count("TSAN_OPTIONS"))
        o += " " + req.env["TSAN_OPTIONS"];
    req.env["TSAN_OPTIONS"] = o;
}

// LLVM's symbolizer, which clang's ThreadSanitizer starts to name the places in its reports,
// complains on the program's standard error when asked about a pseudo-file such as "[stack]"
// (a race on a stack variable). That line is the detector's, not the program's.
static std::string tsan_clean_stderr(const std::string &err) {
    static const std::string noise = "LLVMSymbolizer: error reading file: ";
    std::string kept;
    for (std::string_view line : text_lines(err))
        if (line.substr(0, noise.size()) != noise)
            kept.append(line).append("\n");
    return err.empty() || err.back() == '\n' || kept.empty() ? kept
                                                             : kept.substr(0, kept.size() - 1);
}

// ThreadSanitizer names a global's object by its file name: the file is looked for beside the
// program, in the build's libraries and in the system's.
static std::vector<loaded_object_t> tsan_objects(const std::vector<report_t> &reports,
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

static void tsan_collect(const std::string &dir, const own_code_t &own, bool, check_result_t &,
                         std::vector<report_t> &reports) {
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("tsan.", 0) == 0) {
            auto found = parse_tsan_log(read_file(entry.path().string()), own);
            const auto objects = tsan_objects(found, own);
            for (auto &r : found) {
                place_report_memory(r, objects);
                reports.push_back(r);
            }
        }
}

// ThreadSanitizer's runtime comes with the compiler that built the programs.
static std::string tsan_version(const run_settings_t &opt) {
    std::string cache = read_file((fs::path(opt.bin).parent_path() / "CMakeCache.txt").string());
    std::string compiler = cmake_cache_value(cache, "CMAKE_CXX_COMPILER");
    return "ThreadSanitizer of " +
           first_line(capture_output({compiler.empty() ? "c++" : compiler, "--version"}, {}, 30));
}

// --- valgrind's tools -------------------------------------------------------------------------

static void valgrind_wrap(const std::string &tool, const run_settings_t &opt,
                          const std::string &dir, run_request_t &req) {
    const fs::path d(dir);
    req.argv = {"valgrind", "--tool=" + tool, "--xml=yes",
                "--xml-file=" + (d / "valgrind.xml").string(),
                "--log-file=" + (d / "valgrind.log").string(), "--child-silent-after-fork=yes",
                // Deep enough that a library's stack still shows the public call a label names
                // (GTK+'s main loop, ImageMagick's decoders lie further down than 12 frames).
                "--num-callers=40",
                // Verbosity 2 logs where each object is loaded ("svma ..., avma ..."), so that
                // a report's address can be placed in its object and section.
                "-v", "-v"};
    // --perturb: valgrind runs one thread at a time; its fair scheduler hands the CPU over in
    // turn, where the default lets a thread run on while the kernel allows.
    if (opt.perturb)
        req.argv.push_back("--fair-sched=yes");
    if (tool == "memcheck")
        req.argv.insert(req.argv.end(), {"--leak-check=full", "--show-leak-kinds=definite"});
    if (opt.suppress)
        req.argv.push_back("--suppressions=" + opt.suppressions + "/valgrind.supp");
}

static void valgrind_collect(const std::string &dir, const own_code_t &own, bool stopped,
                             check_result_t &c, std::vector<report_t> &reports) {
    const std::string xml = read_file((fs::path(dir) / "valgrind.xml").string());
    // Without its closing tag the file may miss reports: that is no clean run. Only a run the
    // runner ended on purpose may leave it unfinished.
    if (!stopped && !valgrind_xml_finished(xml)) {
        c.ok = false;
        c.problems.push_back("valgrind.xml missing or unfinished");
    }
    const auto objects =
        valgrind_loaded_objects(read_file((fs::path(dir) / "valgrind.log").string()));
    std::string fault;
    for (auto &r : parse_valgrind_xml(xml, own, &fault)) {
        place_report_memory(r, objects);
        reports.push_back(r);
    }
    if (!fault.empty()) {
        c.ok = false;
        c.problems.push_back("valgrind.xml could not be read whole: " + fault);
    }
}

static std::string valgrind_version(const run_settings_t &) {
    return first_line(capture_output({"valgrind", "--version"}, {}, 30));
}

// --- The table ----------------------------------------------------------------------------------

const std::vector<detector_t> &detectors() {
    static const std::vector<detector_t> table = {
        {"helgrind", "helgrind", "valgrind's Helgrind", 600, "valgrind", "", "", "", "",
         "valgrind.supp", true, true,
         [](const run_settings_t &o, const std::string &d, run_request_t &r) {
             valgrind_wrap("helgrind", o, d, r);
         },
         unchanged, valgrind_collect, valgrind_version},
        {"drd", "drd", "valgrind's DRD", 600, "valgrind", "", "", "", "", "valgrind.supp", true,
         true,
         [](const run_settings_t &o, const std::string &d, run_request_t &r) {
             valgrind_wrap("drd", o, d, r);
         },
         unchanged, valgrind_collect, valgrind_version},
        {"tsan", "tsan", "ThreadSanitizer (programs of a ThreadSanitizer build, see --bin)", 180,
         "", "__tsan_init", "tsan", "ThreadSanitizer", "build/tsan/bin", "tsan.supp", true, true,
         tsan_wrap, tsan_clean_stderr, tsan_collect, tsan_version},
        {"tsan-deep", "tsan", "ThreadSanitizer with zlib, expat and libpng instrumented too", 180,
         "", "__tsan_init", "tsan-deep", "ThreadSanitizer", "build/tsan-deep/bin", "tsan.supp",
         false, false, tsan_wrap, tsan_clean_stderr, tsan_collect, tsan_version},
        // The same tools on programs that load zlib, expat and libpng built from Debian's
        // sources with -O2 -g (no sanitizer): their frames then name the libraries' own
        // functions, which the stripped system libraries do not.
        {"helgrind-deep", "helgrind", "valgrind's Helgrind, zlib, expat and libpng with symbols",
         600, "valgrind", "", "valgrind-deep", "valgrind-deep", "build/valgrind-deep/bin",
         "valgrind.supp", false, false,
         [](const run_settings_t &o, const std::string &d, run_request_t &r) {
             valgrind_wrap("helgrind", o, d, r);
         },
         unchanged, valgrind_collect, valgrind_version},
        {"drd-deep", "drd", "valgrind's DRD, zlib, expat and libpng with symbols", 600, "valgrind",
         "", "valgrind-deep", "valgrind-deep", "build/valgrind-deep/bin", "valgrind.supp", false,
         false,
         [](const run_settings_t &o, const std::string &d, run_request_t &r) {
             valgrind_wrap("drd", o, d, r);
         },
         unchanged, valgrind_collect, valgrind_version},
        {"memcheck", "memcheck", "valgrind's Memcheck (memory errors, not races)", 600, "valgrind",
         "", "", "", "", "valgrind.supp", false, true,
         [](const run_settings_t &o, const std::string &d, run_request_t &r) {
             valgrind_wrap("memcheck", o, d, r);
         },
         unchanged, valgrind_collect, valgrind_version},
    };
    return table;
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
            names += (names.empty() ? "" : "|") + std::string(d.name);
    return names;
}

double run_timeout(const run_settings_t &s, const std::string &tool) {
    if (s.timeout > 0)
        return s.timeout;
    const detector_t *d = find_detector(tool);
    return d ? d->timeout_seconds : 60;
}

#include "provenance.h"

#include "detectors.h"
#include "files.h"
#include "services.h"
#include "text.h"

#include <cctype>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

std::vector<std::string> suppression_files(const run_settings_t &opt, const std::string &tool) {
    const detector_t *d = find_detector(tool);
    if (!opt.suppress || !d)
        return {};
    return {opt.suppressions + "/" + d->suppressions};
}

// What `ask` answers for `key`, asked once per runner: the versions and the commit do not
// change while it runs, and each answer costs a process.
static std::string asked_once(const std::string &key, const std::function<std::string()> &ask) {
    static std::mutex mutex;
    static std::map<std::string, std::string> known;
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (auto it = known.find(key); it != known.end())
            return it->second;
    }
    std::string answer = ask();
    std::lock_guard<std::mutex> hold(mutex);
    return known.emplace(key, answer).first->second;
}

std::string detector_version(const run_settings_t &opt, const std::string &tool) {
    const detector_t *d = find_detector(tool);
    // ThreadSanitizer's version is that of the build's compiler.
    return d ? asked_once("version " + tool + " " + opt.bin, [&] { return tool_version(*d, opt); })
             : "";
}

std::string compiler_short_name(const std::string &line) {
    const size_t clang = line.find("clang version ");
    if (clang != std::string::npos) {
        std::string version = line.substr(clang + 14);
        return "clang-" + version.substr(0, version.find(' '));
    }
    if (line.rfind("g++", 0) == 0 || line.rfind("gcc", 0) == 0 || line.rfind("c++", 0) == 0)
        return "gcc-" + line.substr(line.rfind(' ') + 1);
    return "";
}

// The first line of `--version` of the C++ compiler of the build whose programs are in `bin`.
static std::string compiler_line(const std::string &bin) {
    return asked_once("compiler " + bin, [&] {
        std::string cache = read_file((fs::path(bin).parent_path() / "CMakeCache.txt").string());
        std::string compiler = cmake_cache_value(cache, "CMAKE_CXX_COMPILER");
        return compiler.empty() ? "" : first_line(capture_output({compiler, "--version"}, {}, 30));
    });
}

static std::string corpus_commit(const std::string &source_dir) {
    return asked_once("commit " + source_dir, [&] {
        return first_line(capture_output({"git", "-C", source_dir, "rev-parse", "HEAD"}, {}, 30));
    });
}

std::string build_compiler(const std::string &bin) {
    return compiler_short_name(compiler_line(bin));
}

// What ldd says of a program, asked once per runner for each program file.
static std::string loaded_libraries(const std::string &program) {
    return asked_once("ldd " + program, [&] { return capture_output({"ldd", program}, {}, 30); });
}

nlohmann::json provenance(const run_settings_t &opt, const std::string &tool,
                          const std::vector<row_t> &rows) {
    nlohmann::json j;
    std::string commit = corpus_commit(opt.source_dir);
    j["corpus_commit"] = commit.empty() ? "unknown" : commit;
    std::string cache = read_file((fs::path(opt.bin).parent_path() / "CMakeCache.txt").string());
    const std::string compiler = compiler_line(opt.bin);
    j["compiler"] = compiler.empty() ? "unknown" : compiler;
    std::string type = cmake_cache_value(cache, "CMAKE_BUILD_TYPE");
    j["build_type"] = type;
    for (auto &ch : type)
        ch = char(toupper(static_cast<unsigned char>(ch)));
    std::string flags = cmake_cache_value(cache, "CMAKE_CXX_FLAGS") + " " +
                        cmake_cache_value(cache, "CMAKE_CXX_FLAGS_" + type);
    j["cxx_flags"] = flags.substr(flags.find_first_not_of(' ') == std::string::npos
                                      ? flags.size()
                                      : flags.find_first_not_of(' '));
    j["detector"] = tool.empty() ? nlohmann::json(nullptr) : nlohmann::json(tool);
    j["detector_version"] = detector_version(opt, tool);
    const detector_t *d = find_detector(tool);
    j["detector_file"] = d ? nlohmann::json(d->file) : nlohmann::json(nullptr);
    j["perturb_seed"] = opt.perturb ? nlohmann::json(opt.perturb_seed) : nlohmann::json(nullptr);
    // The libraries each program loads, resolved to their files (whose names carry the
    // versions), as the dynamic loader finds them for this build.
    j["libraries"] = nlohmann::json::object();
    // ldd for every program at once (a program's libraries are asked once per runner).
    std::vector<std::future<std::string>> listed;
    for (const auto &r : rows)
        if (!r.missing)
            listed.push_back(
                std::async(std::launch::async, loaded_libraries, program_executable(opt, *r.p)));
    size_t next = 0;
    for (const auto &r : rows) {
        if (r.missing)
            continue;
        nlohmann::json libs = nlohmann::json::object();
        std::istringstream in(listed[next++].get());
        std::string line;
        while (std::getline(in, line)) {
            size_t arrow = line.find(" => ");
            if (arrow == std::string::npos)
                continue;
            std::string name = line.substr(line.find_first_not_of(" \t"), arrow);
            name = name.substr(0, name.find(' '));
            std::string path = line.substr(arrow + 4);
            path = path.substr(0, path.find(" ("));
            std::error_code ec;
            std::string real = fs::canonical(path, ec).string();
            libs[name] = ec ? path : real;
        }
        j["libraries"][r.p->name] = libs;
    }
    j["suppressions"] = nlohmann::json::array();
    for (const auto &file : suppression_files(opt, tool)) {
        std::string sum = first_line(capture_output({"sha256sum", file}, {}, 30));
        j["suppressions"].push_back({{"file", file}, {"sha256", sum.substr(0, sum.find(' '))}});
    }
    return j;
}

std::future<void> prefetch_provenance(const run_settings_t &opt, const std::string &tool,
                                      const std::vector<const program_t *> &programs) {
    std::vector<std::string> executables;
    for (const program_t *p : programs) {
        const std::string exe = program_executable(opt, *p);
        if (access(exe.c_str(), X_OK) == 0)
            executables.push_back(exe);
    }
    return std::async(std::launch::async, [opt, tool, executables] {
        corpus_commit(opt.source_dir);
        compiler_line(opt.bin);
        detector_version(opt, tool);
        for (const auto &exe : executables)
            loaded_libraries(exe);
    });
}

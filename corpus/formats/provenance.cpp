#include "provenance.h"

#include "detectors.h"
#include "files.h"
#include "services.h"

#include <cctype>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

static std::string first_line(const std::string &text) {
    return text.substr(0, text.find('\n'));
}

std::vector<std::string> suppression_files(const options_t &opt, const std::string &tool) {
    const detector_t *d = find_detector(tool);
    if (!opt.suppress || !d)
        return {};
    return {opt.suppressions + "/" + d->suppressions};
}

std::string detector_version(const options_t &opt, const std::string &tool) {
    const detector_t *d = find_detector(tool);
    return d ? d->version(opt) : "";
}

nlohmann::json provenance(const options_t &opt, const std::string &tool,
                          const std::vector<row_t> &rows) {
    nlohmann::json j;
    std::string commit =
        first_line(capture_output({"git", "-C", opt.source_dir, "rev-parse", "HEAD"}, {}, 30));
    j["corpus_commit"] = commit.empty() ? "unknown" : commit;
    std::string cache = read_file((fs::path(opt.bin).parent_path() / "CMakeCache.txt").string());
    std::string compiler = cmake_cache_value(cache, "CMAKE_CXX_COMPILER");
    j["compiler"] =
        compiler.empty() ? "unknown" : first_line(capture_output({compiler, "--version"}, {}, 30));
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
    // The libraries each program loads, resolved to their files (whose names carry the
    // versions), as the dynamic loader finds them for this build.
    j["libraries"] = nlohmann::json::object();
    for (const auto &r : rows) {
        if (r.missing)
            continue;
        nlohmann::json libs = nlohmann::json::object();
        std::istringstream in(capture_output({"ldd", program_executable(opt, *r.p)}, {}, 30));
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

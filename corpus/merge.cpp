#include "merge.h"

#include "files.h"
#include "report.h"
#include "run.h"
#include "score.h"

#include <filesystem>
#include <iostream>
#include <map>
#include <set>

namespace fs = std::filesystem;

// The results folders one `--out` holds: "<mode>" for corpus run, "score/<tool>" for score.
static std::set<std::string> result_sets(const std::string &out) {
    std::set<std::string> sets;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(out, ec)) {
        if (fs::exists(e.path() / "results.json"))
            sets.insert(e.path().filename().string());
        if (e.path().filename() == "score")
            for (const auto &t : fs::directory_iterator(e.path(), ec))
                if (fs::exists(t.path() / "results.json"))
                    sets.insert("score/" + t.path().filename().string());
    }
    if (ec)
        throw runner_error("cannot read the results folder " + out + ": " + ec.message());
    return sets;
}

static nlohmann::json load_results(const std::string &path) {
    try {
        auto j = nlohmann::json::parse(read_file(path));
        if (!j.value("complete", false))
            throw runner_error(path + " is not the results of a finished run");
        return j;
    } catch (const nlohmann::json::exception &e) {
        throw runner_error(path + ": " + e.what());
    }
}

// The field that must agree between the results being merged.
static std::string same(const std::vector<nlohmann::json> &all,
                        const std::vector<std::string> &dirs, const std::string &what,
                        const nlohmann::json::json_pointer &field) {
    const std::string first = all[0].value(field, nlohmann::json()).dump();
    for (size_t i = 1; i < all.size(); ++i)
        if (all[i].value(field, nlohmann::json()).dump() != first)
            throw runner_error("cannot merge results of different " + what + ": " + dirs[0] +
                               " has " + first + ", " + dirs[i] + " has " +
                               all[i].value(field, nlohmann::json()).dump());
    return first;
}

int merge_results(const options_t &given, const manifest_t &m,
                  const std::vector<std::string> &dirs) {
    if (dirs.empty())
        throw runner_error("corpus merge needs the results folders to merge");
    const std::set<std::string> sets = result_sets(dirs[0]);
    if (sets.empty())
        throw runner_error("no results in " + dirs[0]);
    for (const auto &d : dirs)
        if (result_sets(d) != sets)
            throw runner_error("cannot merge results of different modes: " + dirs[0] + " and " + d +
                               " hold different results");
    bool failed = false;
    std::vector<tool_score_t> scores;
    for (const auto &set : sets) {
        std::vector<nlohmann::json> all;
        for (const auto &d : dirs)
            all.push_back(load_results((fs::path(d) / set / "results.json").string()));
        same(all, dirs, "modes", "/mode"_json_pointer);
        same(all, dirs, "manifests", "/manifest_digest"_json_pointer);
        same(all, dirs, "corpus commits", "/provenance/corpus_commit"_json_pointer);
        same(all, dirs, "repeat counts", "/repeat"_json_pointer);
        if (all[0].value("manifest_digest", "") != text_digest(read_file(given.manifest)))
            throw runner_error("the results were made with another manifest than " +
                               given.manifest + " (give it with --manifest)");
        options_t opt = given;
        opt.tool = all[0].value("tool", "native") == "native" ? "" : all[0].value("tool", "");
        opt.suppress = all[0].value("suppressed", false);
        opt.repeat = all[0].value("repeat", 1);
        opt.trace = all[0].value("trace", false);
        opt.bin = all[0].value("bin", opt.bin);
        // Rows in the manifest's order, each folded from every folder that ran it.
        std::vector<row_t> rows;
        for (const auto &p : m.programs) {
            row_t row;
            row.p = &p;
            bool seen = false;
            for (const auto &j : all)
                for (const auto &e : j.at("programs"))
                    if (e.at("program") == p.name) {
                        row_t part = row_from_record(e.at("record"), &p);
                        row.missing = row.missing || part.missing;
                        if (part.missing)
                            row.verdict = part.verdict;
                        add_runs(row, part);
                        seen = true;
                    }
            if (!seen)
                continue;
            finish_row(row, opt.tool);
            failed = failed || !row.ok;
            rows.push_back(std::move(row));
        }
        const std::string out = (fs::path(given.out) / set).string();
        mark_results_stale(opt, out);
        const std::string table = run_table(opt, rows);
        write_results(opt, rows, table, out, all[0].at("provenance"));
        if (set.rfind("score/", 0) == 0)
            scores.push_back(score_tool(set.substr(6), opt.repeat, rows));
        else
            std::cout << table << "(merged into " << out << ")\n";
    }
    if (!scores.empty()) {
        const std::string dir = (fs::path(given.out) / "score").string();
        std::cout << write_scorecard(dir, scores) << "(merged scorecard in " << dir << ")\n";
        return 0;
    }
    return failed ? 1 : 0;
}

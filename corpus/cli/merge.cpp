#include "merge.h"

#include "files.h"
#include "provenance.h"
#include "results.h"
#include "run.h"
#include "score.h"
#include "xml_text.h"

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

// One results file as read for merging: every field the merge uses, type-checked here, so that
// a file of the wrong shape is named with its faulty field before anything is written.
struct loaded_results_t {
    nlohmann::json j;
    std::string tool;
    bool suppressed = false;
    int repeat = 1;
    int until_detected = 0;
    bool trace = false;
    std::string bin;
    std::string manifest_digest;
    std::vector<std::pair<std::string, row_t>> records; // program name, its record
};

// The fields of a results file that merging reads, with their types.
static nlohmann::json results_shape() {
    return {{"complete", true},
            {"tool", ""},
            {"suppressed", false},
            {"repeat", 1},
            {"trace", false},
            {"bin", ""},
            {"mode", ""},
            {"manifest_digest", ""},
            {"provenance", nlohmann::json::object()},
            {"programs", {{{"program", ""}, {"record", row_record_shape()}}}}};
}

static loaded_results_t load_results(const std::string &path) {
    loaded_results_t r;
    try {
        r.j = parse_json_bounded(read_file(path));
        if (r.j.is_object() && r.j.contains("complete") && r.j["complete"] == false)
            throw runner_error(path + " is not the results of a finished run");
        std::string fault = json_shape_fault(results_shape(), r.j, "");
        if (!fault.empty())
            throw runner_error(path + ": " + fault);
        r.tool = r.j.at("tool");
        r.suppressed = r.j.at("suppressed");
        r.repeat = r.j.at("repeat");
        r.until_detected = r.j.value("until_detected", 0);
        r.trace = r.j.at("trace");
        r.bin = r.j.at("bin");
        r.manifest_digest = r.j.at("manifest_digest");
        for (const auto &e : r.j.at("programs"))
            r.records.emplace_back(e.at("program").get<std::string>(),
                                   row_from_record(e.at("record"), nullptr));
    } catch (const nlohmann::json::exception &e) {
        throw runner_error(path + ": " + e.what());
    } catch (const runner_error &) {
        throw;
    } catch (const std::runtime_error &e) { // nested too deep
        throw runner_error(path + ": " + e.what());
    }
    return r;
}

// Runs from different folders (machines, shards) are different runs even where their numbers
// agree: folder f's run k becomes run f * repeat + k, so that no two are counted as one.
static void renumber_runs(row_t &row, int offset) {
    for (auto &r : row.reports)
        r.run += offset;
    for (auto &k : row.runs_with_reports)
        k += offset;
    if (row.runs_to_detection)
        row.runs_to_detection += offset;
}

// The field that must agree between the results being merged.
static std::string same(const std::vector<nlohmann::json> &all,
                        const std::vector<std::string> &dirs, const std::string &what,
                        const nlohmann::json::json_pointer &field) {
    const std::string first = json_text(all[0].value(field, nlohmann::json()), -1);
    for (size_t i = 1; i < all.size(); ++i)
        if (json_text(all[i].value(field, nlohmann::json()), -1) != first)
            throw runner_error("cannot merge results of different " + what + ": " + dirs[0] +
                               " has " + first + ", " + dirs[i] + " has " +
                               json_text(all[i].value(field, nlohmann::json()), -1));
    return first;
}

// The result sets that every folder holds alike (a folder given twice would count its runs
// twice; folders of different modes cannot be merged).
static std::set<std::string> common_sets(const std::vector<std::string> &dirs) {
    if (dirs.empty())
        throw runner_error("corpus merge needs the results folders to merge");
    std::set<std::string> distinct;
    for (const auto &d : dirs) {
        std::error_code ec;
        const std::string canonical = fs::weakly_canonical(d, ec).string();
        if (!distinct.insert(canonical.empty() ? d : canonical).second)
            throw runner_error("the results folder " + d + " is given twice");
    }
    const std::set<std::string> sets = result_sets(dirs[0]);
    if (sets.empty())
        throw runner_error("no results in " + dirs[0]);
    for (const auto &d : dirs)
        if (result_sets(d) != sets)
            throw runner_error("cannot merge results of different modes: " + dirs[0] + " and " + d +
                               " hold different results");
    return sets;
}

// Result set `set` of every folder, checked to come from the same kind of run of `manifest`.
static std::vector<loaded_results_t> load_set(const std::vector<std::string> &dirs,
                                              const std::string &set, const std::string &manifest) {
    std::vector<loaded_results_t> loaded;
    std::vector<nlohmann::json> all;
    for (const auto &d : dirs) {
        loaded.push_back(load_results((fs::path(d) / set / "results.json").string()));
        all.push_back(loaded.back().j);
    }
    same(all, dirs, "modes", "/mode"_json_pointer);
    same(all, dirs, "manifests", "/manifest_digest"_json_pointer);
    same(all, dirs, "corpus commits", "/provenance/corpus_commit"_json_pointer);
    same(all, dirs, "repeat counts", "/repeat"_json_pointer);
    same(all, dirs, "perturbation seeds", "/provenance/perturb_seed"_json_pointer);
    same(all, dirs, "first-detection limits", "/until_detected"_json_pointer);
    if (loaded[0].manifest_digest != text_digest(read_file(manifest)))
        throw runner_error("the results were made with another manifest than " + manifest +
                           " (give it with --manifest)");
    return loaded;
}

// The settings the merged runs were made with, as their results record them.
static run_settings_t recorded_settings(const run_settings_t &given,
                                        const loaded_results_t &first) {
    run_settings_t opt = given;
    opt.tool = first.tool == "native" ? "" : first.tool;
    opt.suppress = first.suppressed;
    opt.repeat = first.repeat;
    opt.trace = first.trace;
    opt.bin = first.bin;
    const nlohmann::json seed = first.j.at("provenance").value("perturb_seed", nlohmann::json());
    opt.perturb = seed.is_number_unsigned();
    opt.perturb_seed = opt.perturb ? seed.get<unsigned long long>() : 0;
    return opt;
}

// Rows in the manifest's order, each folded from every folder that ran it and judged anew.
static std::vector<row_t> merged_rows(const manifest_t &m,
                                      const std::vector<loaded_results_t> &loaded,
                                      const std::string &tool, const ledger_t &ledger) {
    std::vector<row_t> rows;
    for (const auto &p : m.programs) {
        row_t row;
        row.p = &p;
        bool seen = false;
        for (size_t f = 0; f < loaded.size(); ++f)
            for (const auto &[name, record] : loaded[f].records)
                if (name == p.name) {
                    row_t part = record;
                    part.p = &p;
                    renumber_runs(part, int(f) * loaded[f].repeat);
                    row.missing = row.missing || part.missing;
                    if (part.missing)
                        row.verdict = part.verdict;
                    add_runs(row, part);
                    seen = true;
                }
        if (!seen)
            continue;
        finish_row(row, tool, ledger);
        rows.push_back(std::move(row));
    }
    return rows;
}

int merge_results(const options_t &given, const manifest_t &m,
                  const std::vector<std::string> &dirs) {
    bool failed = false;
    std::vector<tool_score_t> scores;
    for (const auto &set : common_sets(dirs)) {
        const std::vector<loaded_results_t> loaded = load_set(dirs, set, given.manifest);
        const run_settings_t opt = recorded_settings(given, loaded[0]);
        const ledger_t ledger = applicable_ledger(opt.ledger, opt.bin);
        const std::vector<row_t> rows = merged_rows(m, loaded, opt.tool, ledger);
        for (const auto &row : rows)
            failed = failed || !row.ok;
        const std::string out = (fs::path(given.out) / set).string();
        mark_results_stale(opt, out);
        const std::string table = run_table(opt, rows);
        const nlohmann::json &provenance = loaded[0].j.at("provenance");
        write_results(opt, rows, table, out, provenance);
        if (set.rfind("score/", 0) == 0) {
            const int until = loaded[0].until_detected;
            scores.push_back(
                score_tool(tool_named(set.substr(6)), until ? until : opt.repeat, rows, ledger));
            scores.back().until_detected = until > 0;
            scores.back().build = compiler_short_name(provenance.value("compiler", std::string()));
        } else {
            std::cout << table << "(merged into " << out << ")\n";
        }
    }
    if (!scores.empty()) {
        const std::string dir = (fs::path(given.out) / "score").string();
        std::cout << write_scorecard(dir, scores) << "(merged scorecard in " << dir << ")\n";
        return 0;
    }
    return failed ? 1 : 0;
}

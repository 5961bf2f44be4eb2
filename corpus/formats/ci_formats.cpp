#include "ci_formats.h"

#include "frames.h"
#include "record.h"
#include "xml_text.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>

using nlohmann::json;

static std::string attr(const std::string &v) {
    return "\"" + xml_escape(v, true) + "\"";
}

static std::string seconds(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

static std::string failure_text(const row_t &r) {
    std::ostringstream s;
    s << "runs passed: " << r.passed << "/" << r.runs << "\n";
    for (const auto &problem : r.problems)
        s << "problem: " << problem << "\n";
    for (const auto &rep : r.summary.reports)
        if (rep.own)
            s << "own-code report: " << rep.kind << " at " << rep.where << "\n";
    return s.str();
}

static std::string output_summary(const row_t &r, const std::string &tool) {
    std::ostringstream s;
    s << "markers: " << r.markers << "\noutputs: " << r.outputs << "\n";
    if (!tool.empty()) {
        s << "reports: " << r.summary.distinct << " distinct, " << r.summary.own << " own, "
          << r.summary.library << " library\n";
        for (const auto &rep : r.summary.reports)
            if (!rep.own)
                s << "library report: " << rep.kind << " at " << rep.where << "\n";
    }
    return s.str();
}

std::string junit_xml(const std::string &suite_name, const std::vector<row_t> &rows,
                      const std::string &tool) {
    const std::string classname = "corpus." + (tool.empty() ? std::string("native") : tool);
    int failures = 0, errors = 0;
    double total = 0;
    std::ostringstream cases;
    for (const auto &r : rows) {
        total += r.seconds;
        cases << "    <testcase classname=" << attr(classname) << " name=" << attr(r.p->name)
              << " time=\"" << seconds(r.seconds) << "\">\n";
        if (r.missing) {
            ++errors;
            cases << "      <error message=" << attr(r.verdict) << " type=\"not built\">"
                  << xml_escape(r.p->name + " was not built\n", false) << "</error>\n";
        } else {
            if (!r.ok) {
                ++failures;
                cases << "      <failure message=" << attr(r.verdict) << " type=\"verdict\">"
                      << xml_escape(failure_text(r), false) << "</failure>\n";
            }
            cases << "      <system-out>" << xml_escape(output_summary(r, tool), false)
                  << "</system-out>\n";
        }
        cases << "    </testcase>\n";
    }
    std::ostringstream counts;
    counts << " tests=\"" << rows.size() << "\" failures=\"" << failures << "\" errors=\"" << errors
           << "\"";
    std::ostringstream x;
    x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites name=" << attr(suite_name) << counts.str() << " time=\"" << seconds(total)
      << "\">\n"
      << "  <testsuite name=" << attr(suite_name) << counts.str() << " skipped=\"0\" time=\""
      << seconds(total) << "\">\n"
      << cases.str() << "  </testsuite>\n</testsuites>\n";
    return x.str();
}

// --- SARIF ----------------------------------------------------------------------------------

// "data race" -> "data-race", "ConflictingAccess" -> "conflicting-access".
static std::string rule_id(const std::string &kind) {
    std::string id;
    for (size_t i = 0; i < kind.size(); ++i) {
        unsigned char c = kind[i];
        if (std::isalnum(c)) {
            bool word_start = std::isupper(c) && i > 0 && std::islower((unsigned char)kind[i - 1]);
            if (word_start && !id.empty() && id.back() != '-')
                id += '-';
            id += char(std::tolower(c));
        } else if (!id.empty() && id.back() != '-') {
            id += '-';
        }
    }
    while (!id.empty() && id.back() == '-')
        id.pop_back();
    return id.empty() ? "report" : id;
}

// 64-bit FNV-1a: the same on every machine and every run.
static std::string stable_hash(const std::string &s) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[17];
    snprintf(buf, sizeof buf, "%016llx", (unsigned long long)h);
    return buf;
}

static std::string uri_path(const std::string &path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~')
            out += char(c);
        else
            out += {'%', hex[c >> 4], hex[c & 15]};
    }
    return out;
}

static bool under(const std::string &path, const std::string &dir) {
    return !dir.empty() && path.compare(0, dir.size() + 1, dir + "/") == 0;
}

// The source file of the frame, or else its object; null when neither is known.
static json physical_location(const frame_t &f, const std::string &root) {
    const std::string &path = f.file.empty() ? f.object : f.file;
    if (path.empty())
        return nullptr;
    json artifact;
    if (under(path, root))
        artifact = {{"uri", uri_path(path.substr(root.size() + 1))}, {"uriBaseId", "SRCROOT"}};
    else if (path[0] == '/')
        artifact = {{"uri", "file://" + uri_path(path)}};
    else
        artifact = {{"uri", uri_path(path)}}; // a relative debug path: nothing to anchor it to
    json p = {{"artifactLocation", artifact}};
    if (!f.file.empty() && f.line > 0)
        p["region"] = {{"startLine", f.line}};
    return p;
}

static json location(const frame_t &f, const std::string &root) {
    json loc = json::object();
    json p = physical_location(f, root);
    if (!p.is_null())
        loc["physicalLocation"] = p;
    std::string name = f.function.empty() ? f.object : f.function;
    loc["message"] = {{"text", clean_text(name.empty() ? "?" : name, false)}};
    // The frame whole, so that reading the file back gives the same frames.
    loc["properties"] = {{"function", clean_text(f.function, false)},
                         {"object", clean_text(f.object, false)}};
    return loc;
}

// The frame a report is placed at: the frame of ours that made it an own-code report (the one
// `where` names), else the first frame past the detector's runtime.
static const frame_t *placed_at(const report_t &r) {
    const frame_t *first = nullptr;
    for (const auto &stack : r.access_stacks) {
        const frame_t *top = stack_top(stack);
        if (top && r.own &&
            top->function + " " + (top->file.empty() ? top->object : top->file) == r.where)
            return top;
        first = first ? first : top;
    }
    return first;
}

// One thread flow per access stack, from the outermost call down to the access.
static json thread_flows(const report_t &r, const std::string &root) {
    json flows = json::array();
    for (const auto &stack : r.access_stacks) {
        if (stack.empty())
            continue;
        json steps = json::array();
        for (size_t i = stack.size(); i-- > 0;)
            steps.push_back(
                {{"location", location(stack[i], root)}, {"nestingLevel", stack.size() - 1 - i}});
        json flow = json::object();
        flow["locations"] = std::move(steps);
        flows.push_back(std::move(flow));
    }
    return flows;
}

// One result: a report of a row, with its rule, where it lies, its stacks as thread flows and
// what it says beyond them (its kind, each access's kind, its memory) as properties.
static json sarif_result(const row_t &row, const report_t &rep, const std::string &id, size_t rule,
                         const std::string &root) {
    std::string text = rep.kind + " in " + (rep.own ? "our own code" : "library code") + " at " +
                       rep.where + " (program " + row.p->name + ")";
    json result = {{"ruleId", id},
                   {"ruleIndex", rule},
                   {"level", rep.own ? "error" : "warning"},
                   {"message", {{"text", clean_text(text, false)}}},
                   {"partialFingerprints", {{"stackSignature/v1", stable_hash(rep.key)}}},
                   {"properties", {{"program", clean_text(row.p->name, false)}, {"own", rep.own}}}};
    json kinds = json::array();
    for (auto k : rep.access_kinds)
        kinds.push_back(k == access_kind_t::write  ? "write"
                        : k == access_kind_t::read ? "read"
                                                   : "");
    result["properties"]["kind"] = clean_text(rep.kind, false);
    result["properties"]["accessKinds"] = std::move(kinds);
    result["properties"]["memory"] = memory_json(rep.memory);
    if (const frame_t *f = placed_at(rep))
        result["locations"] = json::array({location(*f, root)});
    json flows = thread_flows(rep, root);
    if (!flows.empty()) {
        json flow = json::object();
        flow["threadFlows"] = std::move(flows);
        result["codeFlows"] = json::array();
        result["codeFlows"].push_back(std::move(flow));
    }
    return result;
}

json sarif_log(const std::vector<row_t> &rows, const std::string &tool,
               const std::string &tool_version, const std::string &source_dir,
               const std::vector<std::string> &suppression_files) {
    std::string root = source_dir;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    json rules = json::array(), results = json::array();
    std::map<std::string, size_t> rule_index;
    for (const auto &row : rows)
        for (const auto &rep : row.summary.reports) {
            std::string id = rule_id(rep.kind);
            if (!rule_index.count(id)) {
                rule_index[id] = rules.size();
                rules.push_back(
                    {{"id", id}, {"shortDescription", {{"text", clean_text(rep.kind, false)}}}});
            }
            results.push_back(sarif_result(row, rep, id, rule_index[id], root));
        }

    json driver = {{"name", tool.empty() ? "native" : clean_text(tool, false)}};
    driver["rules"] = std::move(rules);
    if (!tool_version.empty())
        driver["version"] = clean_text(tool_version, false);
    json files = json::array();
    for (const auto &f : suppression_files)
        files.push_back(clean_text(f, false));
    json run = {{"invocations", json::array({{{"executionSuccessful", true},
                                              {"properties", {{"suppressionFiles", files}}}}})}};
    run["tool"]["driver"] = std::move(driver);
    run["results"] = std::move(results);
    if (!root.empty() && root[0] == '/')
        run["originalUriBaseIds"] = {{"SRCROOT", {{"uri", "file://" + uri_path(root) + "/"}}}};
    json log = {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"}, {"version", "2.1.0"}};
    log["runs"] = json::array();
    log["runs"].push_back(std::move(run));
    return log;
}

#include "parse.h"

#include "judge.h"
#include "memory.h"
#include "record.h"
#include "text.h"
#include "xml_text.h"

#include <algorithm>
#include <cstdlib>
#include <expat.h>
#include <map>
#include <sstream>

report_summary_t summarize_reports(const std::vector<report_t> &reports) {
    report_summary_t s;
    std::map<std::string, size_t> seen;
    for (const auto &r : reports) {
        if (seen.count(r.key))
            continue;
        seen[r.key] = s.reports.size();
        s.reports.push_back(r);
        ++(r.own ? s.own : s.library);
    }
    s.distinct = int(s.reports.size());
    return s;
}

// --- ThreadSanitizer ------------------------------------------------------------------------

// "    #3 function args /path/file.cpp:12:5 (module+0x1234)"
static frame_t parse_tsan_frame(std::string line) {
    frame_t f;
    size_t hash = line.find('#');
    size_t space = line.find(' ', hash);
    line = space == std::string::npos ? "" : line.substr(space + 1);
    // Newer runtimes append the module's build id.
    size_t build_id = line.find(" (BuildId: ");
    if (build_id != std::string::npos)
        line = line.substr(0, build_id);
    if (!line.empty() && line.back() == ')') {
        size_t open = line.rfind(" (");
        if (open != std::string::npos) {
            f.object = line.substr(open + 2, line.size() - open - 3);
            // "libstdc++.so.6+0x1234": the offset follows the last '+', names may hold others.
            f.object = f.object.substr(0, f.object.rfind("+0x"));
            line = line.substr(0, open);
        }
    }
    size_t last = line.rfind(' ');
    std::string location = last == std::string::npos ? line : line.substr(last + 1);
    f.function = last == std::string::npos ? "" : line.substr(0, last);
    if (f.function == "<null>")
        f.function.clear();
    if (location != "<null>") {
        size_t colon = location.find(':');
        f.file = location.substr(0, colon);
        if (colon != std::string::npos)
            f.line = std::atoi(location.c_str() + colon + 1);
    }
    return f;
}

// "Write of size 8 at 0x7ba400004198 by thread T1:" -> 0x7ba400004198.
static uint64_t tsan_access_address(const std::string &header) {
    size_t at = header.find(" at 0x");
    return at == std::string::npos ? 0 : std::strtoull(header.c_str() + at + 6, nullptr, 16);
}

namespace {
// A ThreadSanitizer log as it is read: the report being read and the section its lines are in.
struct tsan_reader_t {
    bool inside = false;   // within a report
    bool access = false;   // in an access's stack
    bool location = false; // in the stack that allocated the report's heap block
    uint64_t first_access = 0;
    report_t cur;
    std::vector<std::vector<frame_t>> context; // stacks of the other sections
};
} // namespace

// Ends the report being read, if any, and adds it to `out`.
static void tsan_finish(tsan_reader_t &t, const own_code_t &own, std::vector<report_t> &out) {
    if (!t.inside)
        return;
    // Reports without an access of their own (thread leaks, lock-order inversions) are judged by
    // the stacks they have.
    if (t.cur.access_stacks.empty())
        t.cur.access_stacks = t.context;
    t.cur.access_kinds.resize(t.cur.access_stacks.size(), access_kind_t::unknown);
    classify_report(t.cur, own);
    out.push_back(t.cur);
    t.inside = false;
}

// A section header of a report: an access ("Write of size 8 at ... by thread T1:"), where the
// memory lives ("Location is heap block ... allocated by thread T1:") or other context (where a
// thread or mutex was created).
static void tsan_section(tsan_reader_t &t, const std::string &header) {
    t.location = starts_with(header, "Location is");
    t.access = header.find(" of size ") != std::string::npos && !t.location;
    if (t.location) {
        t.cur.memory = tsan_location(header);
        // The access's offset in its heap block: the first access's address less the block's.
        if (t.cur.memory.kind == memory_kind_t::heap && t.first_access &&
            t.first_access >= t.cur.memory.address)
            t.cur.memory.block_offset = t.first_access - t.cur.memory.address;
    }
    t.location = t.location && t.cur.memory.kind == memory_kind_t::heap;
    if (t.access && t.cur.access_stacks.empty())
        t.first_access = tsan_access_address(header);
    (t.access ? t.cur.access_stacks : t.context).emplace_back();
    if (t.access)
        t.cur.access_kinds.push_back(header.find("rite of size") != std::string::npos
                                         ? access_kind_t::write
                                         : access_kind_t::read);
}

// A frame line ("    #0 f file:line (object+0x...)") of the section being read.
static void tsan_frame(tsan_reader_t &t, const std::string &line) {
    if (t.location) { // the heap block's allocation
        t.cur.memory.allocated.push_back(parse_tsan_frame(line));
        return;
    }
    auto &stacks = t.access ? t.cur.access_stacks : t.context;
    if (stacks.empty())
        stacks.emplace_back();
    stacks.back().push_back(parse_tsan_frame(line));
}

std::vector<report_t> parse_tsan_log(const std::string &log, const own_code_t &own) {
    std::vector<report_t> out;
    std::istringstream in(log);
    std::string line;
    tsan_reader_t t;
    const std::string warning = "WARNING: ThreadSanitizer: ";
    while (std::getline(in, line)) {
        size_t w = line.find(warning);
        if (w != std::string::npos) {
            tsan_finish(t, own, out);
            t = tsan_reader_t{};
            t.inside = true;
            std::string kind = line.substr(w + warning.size());
            t.cur.kind = kind.substr(0, kind.find(" (pid="));
        } else if (!t.inside) {
            continue;
        } else if (starts_with(line, "SUMMARY: ") || starts_with(line, "==================")) {
            tsan_finish(t, own, out);
        } else if (starts_with(line, "    #")) {
            tsan_frame(t, line);
        } else if (starts_with(line, "  ") && line.size() > 2 && line[2] != ' ') {
            tsan_section(t, line.substr(2));
        }
    }
    tsan_finish(t, own, out);
    return out;
}

// --- valgrind XML ---------------------------------------------------------------------------

// The kind of access a text of valgrind's names: "during read of size", "a previous write of
// size" (helgrind), "Conflicting load", "Conflicting store" (drd).
static access_kind_t access_kind_of(const std::string &text) {
    for (const char *w : {" write of size", "Conflicting store"})
        if (text.find(w) != std::string::npos)
            return access_kind_t::write;
    for (const char *r : {" read of size", "Conflicting load"})
        if (text.find(r) != std::string::npos)
            return access_kind_t::read;
    return access_kind_t::unknown;
}

struct vg_state_t {
    std::vector<report_t> reports;
    own_code_t own;
    std::vector<std::string> path; // open elements
    std::string text;
    bool in_error = false;
    report_t cur;
    int stacks = 0;
    std::string last_aux; // text of the latest auxwhat/xauxwhat of the error
    access_kind_t first_kind = access_kind_t::unknown; // of the access the error is about
    std::vector<frame_t> stack;
    frame_t frame;
    std::string dir;
};

static void vg_start(void *data, const XML_Char *name, const XML_Char **) {
    auto *s = static_cast<vg_state_t *>(data);
    std::string n = name;
    s->path.push_back(n);
    s->text.clear();
    if (n == "error" && s->path.size() == 2) {
        s->in_error = true;
        s->cur = report_t{};
        s->stacks = 0;
        s->last_aux.clear();
        s->first_kind = access_kind_t::unknown;
    } else if (n == "stack") {
        s->stack.clear();
    } else if (n == "frame") {
        s->frame = frame_t{};
        s->dir.clear();
    }
}

static void vg_end(void *data, const XML_Char *name) {
    auto *s = static_cast<vg_state_t *>(data);
    std::string n = name;
    std::string parent = s->path.size() >= 2 ? s->path[s->path.size() - 2] : "";
    if (s->in_error) {
        if (n == "kind" && parent == "error") {
            s->cur.kind = s->text;
        } else if ((n == "what" && parent == "error") || (n == "text" && parent == "xwhat")) {
            // "Possible data race during read of size 4 ..." (helgrind), "Conflicting store
            // by thread 3 at 0x0488000c size 4" (drd).
            s->first_kind = access_kind_of(s->text);
            valgrind_location(s->cur.memory, s->text);
        } else if ((n == "text" && (parent == "auxwhat" || parent == "xauxwhat")) ||
                   (n == "auxwhat" && parent == "error")) {
            s->last_aux = s->text;
            valgrind_location(s->cur.memory, s->text);
        } else if (n == "fn") {
            s->frame.function = s->text;
        } else if (n == "obj") {
            s->frame.object = s->text;
        } else if (n == "dir") {
            s->dir = s->text;
        } else if (n == "file") {
            s->frame.file = s->text;
        } else if (n == "line") {
            s->frame.line = std::atoi(s->text.c_str());
        } else if (n == "frame") {
            if (!s->dir.empty() && !s->frame.file.empty())
                s->frame.file = s->dir + "/" + s->frame.file;
            s->stack.push_back(s->frame);
        } else if (n == "stack" && parent == "allocation_context") {
            s->cur.memory.allocated = s->stack; // drd's heap block
        } else if (n == "stack" && parent == "error") {
            // The first stack is the access being reported; helgrind adds the conflicting
            // access after "This conflicts with ...". Other stacks (allocation, segment ends)
            // are context.
            if (s->stacks++ == 0 || starts_with(s->last_aux, "This conflicts with")) {
                s->cur.access_stacks.push_back(s->stack);
                s->cur.access_kinds.push_back(s->stacks == 1 ? s->first_kind
                                                             : access_kind_of(s->last_aux));
            } else if (starts_with(s->last_aux, "Address ") &&
                       s->last_aux.find("alloc'd") != std::string::npos) {
                s->cur.allocation = s->stack;
                s->cur.memory.allocated = s->stack;
            } else if (s->last_aux.find("Allocation context:") != std::string::npos &&
                       s->cur.memory.kind == memory_kind_t::heap) {
                s->cur.memory.allocated = s->stack; // drd's heap block
            }
        } else if (n == "error" && s->path.size() == 2) {
            classify_report(s->cur, s->own);
            s->reports.push_back(s->cur);
            s->in_error = false;
        }
    }
    s->path.pop_back();
    s->text.clear();
}

static void vg_text(void *data, const XML_Char *text, int len) {
    static_cast<vg_state_t *>(data)->text.append(text, size_t(len));
}

std::vector<report_t> parse_valgrind_xml(const std::string &xml, const own_code_t &own,
                                         std::string *error) {
    vg_state_t s;
    // The paths our code is known by, read the way the file's are (below).
    s.own = {clean_text(own.source_dir, false), clean_text(own.program, false),
             clean_text(own.library_dir, false)};
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser)
        return {};
    XML_SetUserData(parser, &s);
    XML_SetElementHandler(parser, vg_start, vg_end);
    XML_SetCharacterDataHandler(parser, vg_text);
    // Paths and names may hold bytes that are not UTF-8 (a folder named so): they are read as
    // U+FFFD, so that the parser reads on to the end. A run cut short leaves the file
    // unfinished; the errors read so far still count. Any other fault of the file is told.
    const std::string text = clean_text(xml, false);
    if (XML_Parse(parser, text.data(), int(text.size()), 1) == XML_STATUS_ERROR && error) {
        const XML_Error code = XML_GetErrorCode(parser);
        if (code != XML_ERROR_UNCLOSED_TOKEN && code != XML_ERROR_NO_ELEMENTS &&
            code != XML_ERROR_PARTIAL_CHAR && code != XML_ERROR_UNCLOSED_CDATA_SECTION)
            *error = std::string(XML_ErrorString(code)) + " at line " +
                     std::to_string(XML_GetCurrentLineNumber(parser));
    }
    XML_ParserFree(parser);
    return s.reports;
}

bool valgrind_xml_finished(const std::string &xml) {
    size_t end = xml.rfind("</valgrindoutput>");
    return end != std::string::npos &&
           xml.find_first_not_of(" \t\r\n", end + 17) == std::string::npos;
}

// --- SARIF ------------------------------------------------------------------------------------

// "%2F" and the like decoded.
static std::string uri_decoded(const std::string &uri) {
    std::string out;
    for (size_t i = 0; i < uri.size(); ++i)
        if (uri[i] == '%' && i + 2 < uri.size() && isxdigit((unsigned char)uri[i + 1]) &&
            isxdigit((unsigned char)uri[i + 2])) {
            out += char(std::stoi(uri.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += uri[i];
        }
    return out;
}

static std::string json_text_at(const nlohmann::json &j, const char *key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

// A location as a frame: its file (a "file://" URI, or one relative to a base of the run's
// originalUriBaseIds), its line, its function and object.
static frame_t sarif_frame(const nlohmann::json &loc, const nlohmann::json &bases) {
    frame_t f;
    const nlohmann::json props = loc.value("properties", nlohmann::json::object());
    const nlohmann::json logical = loc.contains("logicalLocations") &&
                                           loc["logicalLocations"].is_array() &&
                                           !loc["logicalLocations"].empty()
                                       ? loc["logicalLocations"][0]
                                       : nlohmann::json::object();
    f.function = props.contains("function") ? json_text_at(props, "function")
                 : !json_text_at(logical, "fullyQualifiedName").empty()
                     ? json_text_at(logical, "fullyQualifiedName")
                     : json_text_at(loc.value("message", nlohmann::json::object()), "text");
    f.object = json_text_at(props, "object");
    const nlohmann::json physical = loc.value("physicalLocation", nlohmann::json::object());
    const nlohmann::json artifact = physical.value("artifactLocation", nlohmann::json::object());
    std::string uri = uri_decoded(json_text_at(artifact, "uri"));
    const std::string base = json_text_at(artifact, "uriBaseId");
    if (!base.empty() && bases.contains(base))
        uri = uri_decoded(json_text_at(bases[base], "uri")) + uri;
    if (starts_with(uri, "file://"))
        uri = uri.substr(7);
    const nlohmann::json region = physical.value("region", nlohmann::json::object());
    f.line = region.contains("startLine") && region["startLine"].is_number_integer()
                 ? region["startLine"].get<int>()
                 : 0;
    // The corpus's own SARIF names the frame's object beside its file (or in its place);
    // another's location without a line names an object, not a source file.
    if (props.contains("object"))
        f.file = uri == f.object ? "" : uri;
    else if (f.line > 0)
        f.file = uri;
    else
        f.object = uri;
    return f;
}

// One stack per thread flow, innermost frame first.
static std::vector<std::vector<frame_t>> sarif_stacks(const nlohmann::json &result,
                                                      const nlohmann::json &bases) {
    std::vector<std::vector<frame_t>> stacks;
    for (const auto &flow : result.value("codeFlows", nlohmann::json::array()))
        for (const auto &thread : flow.value("threadFlows", nlohmann::json::array())) {
            std::vector<frame_t> stack;
            for (const auto &step : thread.value("locations", nlohmann::json::array()))
                stack.insert(stack.begin(),
                             sarif_frame(step.value("location", nlohmann::json::object()), bases));
            stacks.push_back(stack);
        }
    if (stacks.empty() && result.contains("locations") && result["locations"].is_array()) {
        stacks.emplace_back();
        for (const auto &loc : result["locations"])
            stacks.back().push_back(sarif_frame(loc, bases));
    }
    return stacks;
}

static report_t sarif_report(const nlohmann::json &result, const nlohmann::json &rules,
                             const nlohmann::json &bases) {
    report_t r;
    const nlohmann::json props = result.value("properties", nlohmann::json::object());
    r.kind = json_text_at(props, "kind");
    if (r.kind.empty() && result.contains("ruleIndex") &&
        result["ruleIndex"].is_number_unsigned() &&
        result["ruleIndex"].get<size_t>() < rules.size())
        r.kind = json_text_at(rules[result["ruleIndex"].get<size_t>()].value(
                                  "shortDescription", nlohmann::json::object()),
                              "text");
    if (r.kind.empty())
        r.kind = json_text_at(result, "ruleId");
    r.access_stacks = sarif_stacks(result, bases);
    for (const auto &k : props.value("accessKinds", nlohmann::json::array()))
        r.access_kinds.push_back(k == "write"  ? access_kind_t::write
                                 : k == "read" ? access_kind_t::read
                                               : access_kind_t::unknown);
    r.access_kinds.resize(r.access_stacks.size(), access_kind_t::unknown);
    r.memory = memory_from_json(props.value("memory", nlohmann::json()));
    return r;
}

std::vector<report_t> parse_sarif(const std::string &text, const own_code_t &own,
                                  std::string *error) {
    std::vector<report_t> out;
    nlohmann::json log;
    try {
        log = nlohmann::json::parse(text);
    } catch (const std::exception &e) {
        if (error && !text.empty())
            *error = std::string("not JSON: ") + e.what();
        return out;
    }
    if (!log.is_object() || !log.contains("runs") || !log["runs"].is_array()) {
        if (error)
            *error = "not a SARIF log (no \"runs\")";
        return out;
    }
    try {
        for (const auto &run : log["runs"]) {
            const nlohmann::json driver = run.value("tool", nlohmann::json::object())
                                              .value("driver", nlohmann::json::object());
            const nlohmann::json rules = driver.value("rules", nlohmann::json::array());
            const nlohmann::json bases = run.value("originalUriBaseIds", nlohmann::json::object());
            for (const auto &result : run.value("results", nlohmann::json::array())) {
                report_t r = sarif_report(result, rules, bases);
                classify_report(r, own);
                out.push_back(std::move(r));
            }
        }
    } catch (const nlohmann::json::exception &e) {
        if (error)
            *error = std::string("a result of the wrong shape: ") + e.what();
    }
    return out;
}

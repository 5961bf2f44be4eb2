#include "record.h"

#include "frames.h"
#include "text.h"

#include <algorithm>
#include <cstdlib>

using nlohmann::json;

static nlohmann::json frames_record(const std::vector<frame_t> &stack) {
    nlohmann::json frames = nlohmann::json::array();
    for (const auto &f : stack)
        frames.push_back({f.function, f.file, f.object, f.line});
    return frames;
}

static std::vector<frame_t> frames_from_record(const nlohmann::json &j) {
    std::vector<frame_t> stack;
    for (const auto &f : j)
        stack.push_back({f.at(0), f.at(1), f.at(2), f.at(3)});
    return stack;
}

static nlohmann::json report_record(const report_t &r) {
    nlohmann::json stacks = nlohmann::json::array();
    for (const auto &stack : r.access_stacks)
        stacks.push_back(frames_record(stack));
    nlohmann::json kinds = nlohmann::json::array();
    for (auto k : r.access_kinds)
        kinds.push_back(k == access_kind_t::write  ? "write"
                        : k == access_kind_t::read ? "read"
                                                   : "");
    nlohmann::json j = {
        {"kind", r.kind}, {"key", r.key}, {"own", r.own}, {"where", r.where}, {"run", r.run}};
    // Moved in, not listed: an initializer list would copy each whole array.
    j["stacks"] = std::move(stacks);
    j["access_kinds"] = std::move(kinds);
    j["allocation"] = frames_record(r.allocation);
    j["memory"] = memory_json(r.memory);
    return j;
}

static report_t report_from_record(const nlohmann::json &j) {
    report_t r;
    r.kind = j.at("kind");
    r.key = j.at("key");
    r.own = j.at("own");
    r.where = j.at("where");
    for (const auto &stack : j.at("stacks"))
        r.access_stacks.push_back(frames_from_record(stack));
    r.allocation = frames_from_record(j.at("allocation"));
    if (j.contains("access_kinds") && j["access_kinds"].is_array())
        for (const auto &k : j["access_kinds"])
            r.access_kinds.push_back(k == "write"  ? access_kind_t::write
                                     : k == "read" ? access_kind_t::read
                                                   : access_kind_t::unknown);
    r.memory = memory_from_json(j.value("memory", nlohmann::json()));
    r.run = j.value("run", 0);
    return r;
}

nlohmann::json row_record(const row_t &r) {
    nlohmann::json reports = nlohmann::json::array();
    for (const auto &rep : r.reports)
        reports.push_back(report_record(rep));
    nlohmann::json traces = nlohmann::json::array();
    for (const auto &f : r.traces)
        traces.push_back({f.inside, f.overlap,
                          f.lock_max_held ? nlohmann::json(*f.lock_max_held) : nlohmann::json()});
    nlohmann::json j = {{"missing", r.missing},   {"runs", r.runs},
                        {"passed", r.passed},     {"markers", r.markers},
                        {"outputs", r.outputs},   {"problems", r.problems},
                        {"seconds", r.seconds},   {"runs_with_reports", r.runs_with_reports},
                        {"peak_kib", r.peak_kib}, {"wall_seconds", r.wall_seconds},
                        {"verdict", r.verdict},   {"best_trace", r.best_trace},
                        {"timeline", r.timeline}, {"runs_to_detection", r.runs_to_detection}};
    j["reports"] = std::move(reports);
    j["traces"] = std::move(traces);
    return j;
}

static const char *json_kind(const nlohmann::json &j) {
    return j.is_object()    ? "an object"
           : j.is_array()   ? "an array"
           : j.is_string()  ? "a string"
           : j.is_number()  ? "a number"
           : j.is_boolean() ? "a boolean"
                            : "null";
}

std::string json_shape_fault(const nlohmann::json &want, const nlohmann::json &got,
                             const std::string &path) {
    if (want.is_null())
        return "";
    const std::string where = "field " + (path.empty() ? "/" : path);
    if (std::string(json_kind(want)) != json_kind(got))
        return where + " is " + json_kind(got) + ", expected " + json_kind(want);
    if (want.is_object()) {
        for (const auto &[key, value] : want.items()) {
            if (!got.contains(key))
                return "field " + path + "/" + key + " is missing";
            std::string fault = json_shape_fault(value, got.at(key), path + "/" + key);
            if (!fault.empty())
                return fault;
        }
    } else if (want.is_array() && !want.empty()) {
        // One element stands for every element; more are a record of fixed fields (a frame:
        // function, file, object, line), each checked against its own.
        for (size_t i = 0; i < got.size(); ++i) {
            const nlohmann::json &w =
                want.size() > 1 ? want[std::min(i, want.size() - 1)] : want[0];
            std::string fault = json_shape_fault(w, got[i], path + "/" + std::to_string(i));
            if (!fault.empty())
                return fault;
        }
    }
    return "";
}

nlohmann::json row_record_shape() {
    row_t r;
    r.problems = {""};
    r.reports.emplace_back();
    r.reports.back().access_stacks = {{frame_t{}}};
    r.reports.back().allocation = {frame_t{}};
    r.runs_with_reports = {0};
    r.traces.emplace_back();
    nlohmann::json shape = row_record(r);
    shape["traces"][0][2] = nullptr; // a lock count, or null where no lock was traced
    // Fields that results written before them do not have: read with a default.
    shape.erase("runs_to_detection");
    shape.erase("wall_seconds");
    shape["reports"][0].erase("run");
    // The memory and access kinds are read with what they hold; older results have neither.
    shape["reports"][0].erase("memory");
    shape["reports"][0].erase("access_kinds");
    return shape;
}

row_t row_from_record(const nlohmann::json &j, const program_t *p) {
    row_t r;
    r.p = p;
    r.missing = j.at("missing");
    r.runs = j.at("runs");
    r.passed = j.at("passed");
    r.markers = j.at("markers");
    r.outputs = j.at("outputs");
    r.problems = j.at("problems").get<std::vector<std::string>>();
    for (const auto &rep : j.at("reports"))
        r.reports.push_back(report_from_record(rep));
    r.runs_with_reports = j.at("runs_with_reports").get<std::vector<int>>();
    r.seconds = j.at("seconds");
    r.wall_seconds = j.value("wall_seconds", 0.0);
    r.peak_kib = j.at("peak_kib");
    r.verdict = j.at("verdict");
    r.runs_to_detection = j.value("runs_to_detection", 0);
    for (const auto &t : j.at("traces")) {
        trace_figures_t f;
        f.inside = t.at(0);
        f.overlap = t.at(1);
        if (!t.at(2).is_null())
            f.lock_max_held = t.at(2).get<int>();
        r.traces.push_back(f);
    }
    r.best_trace = j.at("best_trace");
    r.timeline = j.at("timeline");
    return r;
}

// --- Memory ------------------------------------------------------------------------------------

std::string describe_memory(const memory_t &m) {
    switch (m.kind) {
    case memory_kind_t::global: {
        std::string place = m.section.empty() ? "" : m.section;
        if (m.offset)
            place += (place.empty() ? "" : "+") + hex(*m.offset);
        if (!m.object.empty())
            place += (place.empty() ? "in " : " of ") + base_name(m.object);
        return "global " + (m.symbol.empty() ? std::string("without a name") : m.symbol) +
               (place.empty() ? "" : " (" + place + ")");
    }
    case memory_kind_t::heap: {
        std::string in;
        for (const auto &f : m.allocated)
            if (!transparent_frame(f) && !f.function.empty()) {
                in = " allocated in " + bare_function(f.function);
                break;
            }
        return std::string(m.from_allocation ? "freed heap block" : "heap block") +
               (m.block_size ? " of " + std::to_string(m.block_size) + " bytes" : "") + in +
               (m.block_offset ? " (at +" + hex(*m.block_offset) + ")" : "");
    }
    case memory_kind_t::stack:
        return "stack";
    case memory_kind_t::unknown:
        break;
    }
    return "unknown";
}

static const char *kind_name(memory_kind_t k) {
    switch (k) {
    case memory_kind_t::global:
        return "global";
    case memory_kind_t::heap:
        return "heap";
    case memory_kind_t::stack:
        return "stack";
    case memory_kind_t::unknown:
        break;
    }
    return "unknown";
}

static json frames_json(const std::vector<frame_t> &stack) {
    json a = json::array();
    for (const auto &f : stack)
        a.push_back(
            {{"function", f.function}, {"file", f.file}, {"line", f.line}, {"object", f.object}});
    return a;
}

json memory_json(const memory_t &m) {
    json j{{"kind", kind_name(m.kind)}, {"text", describe_memory(m)}};
    if (m.address)
        j["address"] = hex(m.address);
    if (m.kind == memory_kind_t::global) {
        j["object"] = m.object;
        j["symbol"] = m.symbol;
        j["section"] = m.section;
        j["offset"] = m.offset ? json(hex(*m.offset)) : json(nullptr);
    }
    if (m.kind == memory_kind_t::heap) {
        j["block_size"] = m.block_size;
        j["block_offset"] = m.block_offset ? json(hex(*m.block_offset)) : json(nullptr);
        j["allocated"] = frames_json(m.allocated);
        if (m.from_allocation)
            j["from_allocation"] = true;
    }
    return j;
}

static std::string text_or_empty(const json &j, const char *key) {
    auto it = j.find(key);
    return it == j.end() || !it->is_string() ? "" : it->get<std::string>();
}

memory_t memory_from_json(const json &j) {
    memory_t m;
    if (!j.is_object())
        return m;
    const std::string kind = text_or_empty(j, "kind");
    for (auto k : {memory_kind_t::global, memory_kind_t::heap, memory_kind_t::stack})
        if (kind == kind_name(k))
            m.kind = k;
    m.address = std::strtoull(text_or_empty(j, "address").c_str(), nullptr, 16);
    m.object = text_or_empty(j, "object");
    m.symbol = text_or_empty(j, "symbol");
    m.section = text_or_empty(j, "section");
    if (!text_or_empty(j, "offset").empty())
        m.offset = std::strtoull(text_or_empty(j, "offset").c_str(), nullptr, 16);
    if (!text_or_empty(j, "block_offset").empty())
        m.block_offset = std::strtoull(text_or_empty(j, "block_offset").c_str(), nullptr, 16);
    if (j.contains("block_size") && j["block_size"].is_number_unsigned())
        m.block_size = j["block_size"].get<uint64_t>();
    if (j.contains("allocated") && j["allocated"].is_array())
        for (const auto &f : j["allocated"])
            if (f.is_object())
                m.allocated.push_back({text_or_empty(f, "function"), text_or_empty(f, "file"),
                                       text_or_empty(f, "object"),
                                       f.contains("line") && f["line"].is_number_integer()
                                           ? f["line"].get<int>()
                                           : 0});
    const auto from_allocation = j.find("from_allocation");
    m.from_allocation = from_allocation != j.end() && *from_allocation == true;
    return m;
}

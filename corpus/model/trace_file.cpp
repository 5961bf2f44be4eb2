#include "trace_file.h"

#include "text.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

// --- Parsing --------------------------------------------------------------------------------

namespace {

enum class event_kind_t { enter, leave, acquire, release, mark };

struct record_t {
    std::int64_t ns = 0;
    long tid = 0;
    event_kind_t kind = event_kind_t::mark;
    std::string text; // of a mark
};

// A thread while its lines are read: the intervals it has opened and not yet closed.
struct open_thread_t {
    thread_trace_t trace;
    std::optional<std::int64_t> work_since, held_since;
};

} // namespace

// Reads a non-negative decimal number at `pos` up to the next space or the end; false for
// anything else (sign, no digit, overflow).
static bool read_number(const std::string &line, size_t &pos, std::int64_t &value) {
    size_t start = pos;
    value = 0;
    for (; pos < line.size() && line[pos] != ' '; ++pos) {
        char c = line[pos];
        if (c < '0' || c > '9' || value > (INT64_MAX - (c - '0')) / 10)
            return false;
        value = value * 10 + (c - '0');
    }
    return pos > start;
}

// The record of one line, or the reason it is not one.
static std::optional<record_t> parse_line(const std::string &line, std::string &why) {
    record_t r;
    size_t pos = 0;
    std::int64_t tid = 0;
    if (!read_number(line, pos, r.ns) || pos == line.size() || !read_number(line, ++pos, tid) ||
        tid == 0 || tid > INT32_MAX || pos == line.size()) {
        why = "not \"<ns> <tid> <event>\"";
        return std::nullopt;
    }
    r.tid = static_cast<long>(tid);
    std::string event = line.substr(pos + 1);
    static const std::pair<const char *, event_kind_t> names[] = {
        {"enter", event_kind_t::enter},
        {"leave", event_kind_t::leave},
        {"acquire", event_kind_t::acquire},
        {"release", event_kind_t::release}};
    for (const auto &[name, kind] : names)
        if (event == name) {
            r.kind = kind;
            return r;
        }
    if (event.compare(0, 5, "mark:") == 0) {
        r.text = event.substr(5);
        return r;
    }
    why = "unknown event \"" + event + "\"";
    return std::nullopt;
}

// Opens (`opening`) or closes an interval of a thread; returns the reason when the event does
// not fit the thread's state.
static std::string apply(std::optional<std::int64_t> &since, std::vector<span_t> &spans,
                         bool opening, std::int64_t ns, const char *what) {
    if (opening) {
        if (since)
            return std::string(what) + " opened twice";
        since = ns;
    } else {
        if (!since)
            return std::string(what) + " closed without being opened";
        if (ns < *since)
            return std::string(what) + " closed before it was opened";
        spans.push_back({*since, ns});
        since.reset();
    }
    return "";
}

// Applies one record to its thread; returns the reason when it does not fit the thread's state.
static std::string apply_record(open_thread_t &th, const record_t &r) {
    th.trace.first = std::min(th.trace.first, r.ns);
    switch (r.kind) {
    case event_kind_t::enter:
    case event_kind_t::leave:
        return apply(th.work_since, th.trace.work, r.kind == event_kind_t::enter, r.ns,
                     "library work");
    case event_kind_t::acquire:
    case event_kind_t::release:
        return apply(th.held_since, th.trace.held, r.kind == event_kind_t::acquire, r.ns,
                     "lock hold");
    case event_kind_t::mark:
        th.trace.marks.push_back({r.ns, r.text});
        break;
    }
    return "";
}

// The threads' traces once every line is read: what is still open lasts until the last event,
// and the threads are numbered in the order of their first events.
static void close_threads(trace_t &t, std::vector<open_thread_t> &threads) {
    for (open_thread_t &th : threads) {
        if (th.work_since)
            th.trace.work.push_back({*th.work_since, t.last});
        if (th.held_since)
            th.trace.held.push_back({*th.held_since, t.last});
        t.threads.push_back(std::move(th.trace));
    }
    // Lines of different threads reach the file in the order of their writes, which may differ
    // a little from the order of their clock readings.
    std::stable_sort(
        t.threads.begin(), t.threads.end(),
        [](const thread_trace_t &a, const thread_trace_t &b) { return a.first < b.first; });
    for (size_t i = 0; i < t.threads.size(); ++i)
        t.threads[i].number = static_cast<int>(i) + 1;
}

trace_t parse_trace(const std::string &text) {
    trace_t t;
    std::vector<open_thread_t> threads;
    std::map<long, size_t> index; // tid -> position in `threads`
    auto fail = [&t](int line_no, const std::string &why) {
        if (t.errors++ == 0)
            t.first_error = "line " + std::to_string(line_no) + ": " + why;
    };
    size_t pos = 0;
    for (int line_no = 1; pos < text.size(); ++line_no) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) { // the writer was stopped inside this line
            t.cut = true;
            break;
        }
        std::string line = text.substr(pos, eol - pos), why;
        pos = eol + 1;
        std::optional<record_t> r = parse_line(line, why);
        if (!r) {
            fail(line_no, why);
            continue;
        }
        t.first = t.events == 0 ? r->ns : std::min(t.first, r->ns);
        t.last = t.events == 0 ? r->ns : std::max(t.last, r->ns);
        ++t.events;
        auto [it, added] = index.emplace(r->tid, threads.size());
        if (added) {
            threads.emplace_back();
            threads.back().trace.tid = r->tid;
            threads.back().trace.first = r->ns;
        }
        why = apply_record(threads[it->second], *r);
        if (!why.empty())
            fail(line_no, why);
    }
    close_threads(t, threads);
    return t;
}

// --- Figures --------------------------------------------------------------------------------

struct sweep_t {
    int most = 0;            // most spans open at once
    std::int64_t shared = 0; // time with two or more open
};

static sweep_t sweep(const std::vector<span_t> &spans) {
    std::vector<std::pair<std::int64_t, int>> edges; // at equal times, ends (-1) come first
    for (const span_t &s : spans)
        if (s.end > s.begin) {
            edges.push_back({s.begin, 1});
            edges.push_back({s.end, -1});
        }
    std::sort(edges.begin(), edges.end());
    sweep_t r;
    int open = 0;
    for (size_t i = 0; i < edges.size(); ++i) {
        if (open >= 2)
            r.shared += edges[i].first - edges[i - 1].first;
        open += edges[i].second;
        r.most = std::max(r.most, open);
    }
    // An interval shorter than the clock's step still had its thread inside.
    if (r.most == 0 && !spans.empty())
        r.most = 1;
    return r;
}

trace_figures_t trace_figures(const trace_t &t) {
    std::vector<span_t> work, held;
    for (const thread_trace_t &th : t.threads) {
        work.insert(work.end(), th.work.begin(), th.work.end());
        held.insert(held.end(), th.held.begin(), th.held.end());
    }
    trace_figures_t f;
    sweep_t w = sweep(work);
    f.inside = w.most;
    if (!work.empty()) {
        std::int64_t begin = work[0].begin, end = work[0].end;
        for (const span_t &s : work) {
            begin = std::min(begin, s.begin);
            end = std::max(end, s.end);
        }
        if (end > begin)
            f.overlap = static_cast<double>(w.shared) / static_cast<double>(end - begin);
    }
    if (!held.empty())
        f.lock_max_held = sweep(held).most;
    return f;
}

std::string figures_text(const trace_figures_t &f) {
    return "inside " + std::to_string(f.inside) + ", overlap " + fixed(f.overlap, 2) +
           ", lock_max_held " + (f.lock_max_held ? std::to_string(*f.lock_max_held) : "none");
}

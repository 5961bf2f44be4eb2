#include "timeline.h"

#include "text.h"
#include "xml_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

// Text as XML character data or attribute value.
static std::string escape(const std::string &s) {
    return xml_escape(s, true);
}

static std::string microseconds(std::int64_t ns, int digits) {
    return fixed(static_cast<double>(ns) / 1000.0, digits);
}

// A tick every 1, 2 or 5 times a power of ten nanoseconds, the first such step of at least
// an eighth of the trace: three to nine labelled ticks.
static std::int64_t tick_step(std::int64_t length) {
    const std::int64_t target = std::max<std::int64_t>(length / 8, 1);
    for (std::int64_t power = 1;; power *= 10)
        for (int m : {1, 2, 5})
            if (power * m >= target)
                return power * m;
}

namespace {
// Geometry of the timeline, in pixels.
constexpr int svg_width = 900, plot_left = 60, plot_right = 880;
constexpr int lanes_top = 84, lane_height = 24, bar_height = 14;
} // namespace

namespace {
// Where a time falls on the plot: nanoseconds from the trace's first event, scaled to its width.
struct scale_t {
    std::int64_t origin = 0, length = 1;
    double x(std::int64_t ns) const {
        return plot_left + static_cast<double>(ns - origin) * (plot_right - plot_left) /
                               static_cast<double>(length);
    }
};
} // namespace

static std::string num(double v) {
    return fixed(v, 1);
}

// The document's start: its size, the program's name, the figures and the legend.
static std::string svg_heading(const trace_t &t, const std::string &program, int height) {
    std::string figures = figures_text(trace_figures(t)) + " — " +
                          std::to_string(t.threads.size()) + " threads, " +
                          std::to_string(t.events) + " events";
    if (t.errors > 0)
        figures += ", " + std::to_string(t.errors) + " bad lines (" + t.first_error + ")";
    if (t.cut)
        figures += ", last line cut short";
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(svg_width) + "\" height=\"" + std::to_string(height) +
                    "\" viewBox=\"0 0 " + std::to_string(svg_width) + " " + std::to_string(height) +
                    "\" font-family=\"sans-serif\" font-size=\"12\">\n"
                    "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    s += "<text x=\"10\" y=\"22\" font-size=\"16\" font-weight=\"bold\">" + escape(program) +
         "</text>\n";
    s += "<text x=\"10\" y=\"42\" fill=\"#333333\">" + escape(figures) + "</text>\n";
    // Legend.
    s += "<g transform=\"translate(10,54)\">"
         "<rect width=\"18\" height=\"10\" fill=\"#9ecae1\"/>"
         "<text x=\"24\" y=\"10\">library work</text>"
         "<rect x=\"120\" width=\"18\" height=\"10\" fill=\"#e6550d\"/>"
         "<text x=\"144\" y=\"10\">holding the lock</text>"
         "<line x1=\"262\" y1=\"0\" x2=\"262\" y2=\"10\" stroke=\"#000000\" stroke-width=\"1.5\"/>"
         "<text x=\"270\" y=\"10\">marker line</text>"
         "<text x=\"370\" y=\"10\" fill=\"#555555\">(lanes: threads in order of their first "
         "event)</text></g>\n";
    return s;
}

// The lane of the `i`-th thread: its name, its library work, its lock sections and its marks.
static std::string svg_lane(const thread_trace_t &th, size_t i, const scale_t &sc) {
    std::string s;
    const int top = lanes_top + static_cast<int>(i) * lane_height;
    const int bar_top = top + (lane_height - bar_height) / 2;
    const std::string lane = "T" + std::to_string(th.number);
    if (i % 2 == 0)
        s += "<rect x=\"" + std::to_string(plot_left) + "\" y=\"" + std::to_string(top) +
             "\" width=\"" + std::to_string(plot_right - plot_left) + "\" height=\"" +
             std::to_string(lane_height) + "\" fill=\"#f3f3f3\"/>\n";
    s += "<text x=\"" + std::to_string(plot_left - 8) + "\" y=\"" + std::to_string(bar_top + 11) +
         "\" text-anchor=\"end\">" + lane + "</text>\n";
    auto bar = [&](const span_t &sp, int inset, const char *fill, const char *what) {
        double x = sc.x(sp.begin), w = std::max(sc.x(sp.end) - x, 1.0);
        s += "<rect x=\"" + num(x) + "\" y=\"" + std::to_string(bar_top + inset) + "\" width=\"" +
             num(w) + "\" height=\"" + std::to_string(bar_height - 2 * inset) + "\" fill=\"" +
             fill + "\"><title>" + lane + " " + what + " " + microseconds(sp.begin - sc.origin, 3) +
             "–" + microseconds(sp.end - sc.origin, 3) + " µs</title></rect>\n";
    };
    for (const span_t &sp : th.work)
        bar(sp, 0, "#9ecae1", "library work");
    for (const span_t &sp : th.held)
        bar(sp, 3, "#e6550d", "holding the lock");
    for (const trace_mark_t &m : th.marks) {
        std::string x = num(sc.x(m.at));
        s += "<line x1=\"" + x + "\" y1=\"" + std::to_string(top + 2) + "\" x2=\"" + x +
             "\" y2=\"" + std::to_string(top + lane_height - 2) +
             "\" stroke=\"#000000\" stroke-width=\"1.5\"><title>" +
             escape(lane + " mark:" + m.text + " at " + microseconds(m.at - sc.origin, 3) + " µs") +
             "</title></line>\n";
    }
    return s;
}

// The time axis at `axis_y`, with its ticks every `step` nanoseconds.
static std::string svg_axis(const scale_t &sc, int axis_y) {
    const std::int64_t step = tick_step(sc.length);
    int digits = std::clamp(3 - static_cast<int>(std::floor(std::log10(step))), 0, 3);
    std::string s = "<line x1=\"" + std::to_string(plot_left) + "\" y1=\"" +
                    std::to_string(axis_y) + "\" x2=\"" + std::to_string(plot_right) + "\" y2=\"" +
                    std::to_string(axis_y) + "\" stroke=\"#000000\"/>\n";
    for (std::int64_t ns = 0; ns <= sc.length; ns += step) {
        std::string x = num(sc.x(sc.origin + ns));
        s += "<line x1=\"" + x + "\" y1=\"" + std::to_string(axis_y) + "\" x2=\"" + x + "\" y2=\"" +
             std::to_string(axis_y + 5) +
             "\" stroke=\"#000000\"/>"
             "<text x=\"" +
             x + "\" y=\"" + std::to_string(axis_y + 18) + "\" text-anchor=\"middle\">" +
             microseconds(ns, digits) + "</text>\n";
    }
    s += "<text x=\"" + std::to_string(plot_right) + "\" y=\"" + std::to_string(axis_y + 36) +
         "\" text-anchor=\"end\" fill=\"#555555\">µs since the first event</text>\n";
    return s;
}

std::string trace_svg(const trace_t &t, const std::string &program) {
    const scale_t sc{t.first, std::max<std::int64_t>(t.last - t.first, 1)};
    const int lanes = std::max<int>(t.threads.size(), 1);
    const int axis_y = lanes_top + lanes * lane_height + 6;
    std::string s = svg_heading(t, program, axis_y + 44);
    if (t.threads.empty())
        s += "<text x=\"" + std::to_string(plot_left) + "\" y=\"" + std::to_string(lanes_top + 16) +
             "\" fill=\"#555555\">no events</text>\n";
    for (size_t i = 0; i < t.threads.size(); ++i)
        s += svg_lane(t.threads[i], i, sc);
    return s + svg_axis(sc, axis_y) + "</svg>\n";
}

// --- The page -------------------------------------------------------------------------------

// A relative path as a URL: bytes other than letters, digits, "/-._~" are percent-encoded.
static std::string url_path(const std::string &path) {
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

static std::string cell(const timeline_entry_t &e) {
    return "<div class=\"cell\"><h2>" + escape(e.program) + " <small>(" + escape(e.variant) +
           ")</small></h2>\n<img src=\"" + escape(url_path(e.svg)) + "\" alt=\"timeline of " +
           escape(e.program) + "\"/>\n<p class=\"figures\">" + escape(e.figures) + "</p></div>\n";
}

std::string timeline_index_html(const std::vector<timeline_entry_t> &entries) {
    std::string s = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
                    "<title>Timelines of the corpus</title>\n<style>\n"
                    "body { font-family: sans-serif; margin: 16px; }\n"
                    ".row { display: flex; gap: 16px; margin-bottom: 28px; }\n"
                    ".cell { flex: 1; min-width: 0; max-width: 900px; }\n"
                    ".cell img { width: 100%; border: 1px solid #cccccc; }\n"
                    "h2 { font-size: 16px; margin: 4px 0; }\n"
                    ".figures { font-family: monospace; margin: 4px 0; }\n"
                    "</style>\n</head>\n<body>\n<h1>Timelines of the corpus</h1>\n";
    std::vector<bool> placed(entries.size(), false);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (placed[i])
            continue;
        placed[i] = true;
        const timeline_entry_t *left = &entries[i], *right = nullptr;
        for (size_t j = i + 1; j < entries.size() && !left->twin.empty(); ++j)
            if (!placed[j] && entries[j].program == left->twin) {
                placed[j] = true;
                right = &entries[j];
                break;
            }
        if (right && right->variant == "serialized" && left->variant != "serialized")
            std::swap(left, right);
        s += "<div class=\"row\">\n" + cell(*left) + (right ? cell(*right) : "") + "</div>\n";
    }
    s += "</body>\n</html>\n";
    return s;
}

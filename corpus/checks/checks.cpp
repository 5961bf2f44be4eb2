#include "checks.h"

#include "contract.h"
#include "fnv1a.h"
#include "png_io.h"
#include "xvfb.h"

#include <algorithm>
#include <cstdlib>
#include <expat.h>
#include <functional>
#include <stdexcept>
#include <zlib.h>

const std::string gzip_verse = contract::gzip_verse;
static const std::string zlib_text = contract::zlib_text;

static const int workers = contract::workers;
static const std::string creating = contract::creating_prefix;
static const std::string result_line = std::string(contract::result_prefix) + "0";

std::vector<std::string_view> text_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(at));
            break;
        }
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

static void fail(check_result_t &c, const std::string &problem) {
    c.ok = false;
    c.problems.push_back(problem);
}

static std::string shown(std::string_view s);

// A line's head is longer than what a message shows, so a cut line is marked as such.
static std::string shown_line(const output_lines_t &d, const output_line_t &l) {
    return shown(output_head(d, l));
}

static std::string shown(std::string_view s) {
    const size_t max = 60;
    std::string q;
    for (char ch : s.substr(0, max)) {
        if (ch == '\n')
            q += "\\n";
        else if (static_cast<unsigned char>(ch) < 32 || static_cast<unsigned char>(ch) > 126)
            q += '?';
        else
            q += ch;
    }
    return "\"" + q + (s.size() > max ? "...\"" : "\"");
}

// Lines are compared by a 64-bit hash of their bytes, so that the runner never holds more
// than one copy of a long output, nor builds the expected output as text (FNV-1a).
static uint64_t line_hash(std::string_view s) {
    return fnv1a(s);
}

static bool line_is(const output_line_t &l, std::string_view text) {
    return l.length == text.size() && l.hash == line_hash(text);
}

static int count_line(const output_lines_t &out, const std::string &line) {
    const uint64_t h = line_hash(line);
    int n = 0;
    for (const auto &l : out.lines)
        n += l.hash == h && l.length == line.size();
    return n;
}

// --- Standard output, digested as it is read ----------------------------------------------------

void output_append(output_lines_t &d, std::string_view piece) {
    d.size += piece.size();
    for (char ch : piece) {
        output_line_t &l = d.open;
        if (!d.in_line) {
            l = output_line_t{};
            l.hash = l.text_hash = fnv1a_basis;
            d.open_head.clear();
            d.in_line = true;
        }
        if (ch == '\n') {
            d.heads.try_emplace(l.text_hash, d.open_head);
            d.lines.push_back(l);
            d.in_line = false;
            continue;
        }
        const unsigned char u = static_cast<unsigned char>(ch);
        l.hash = fnv1a_step(l.hash, u);
        if (ch == ' ' && l.indent == l.length) {
            ++l.indent;
        } else {
            l.text_hash = fnv1a_step(l.text_hash, u);
            if (d.open_head.size() < output_lines_t::head_bytes)
                d.open_head += ch;
        }
        ++l.length;
    }
    d.ends_in_newline = !d.in_line;
}

void output_end(output_lines_t &d) {
    if (!d.in_line)
        return;
    d.heads.try_emplace(d.open.text_hash, d.open_head);
    d.lines.push_back(d.open);
    d.in_line = false;
}

output_lines_t output_digest(std::string_view text) {
    output_lines_t d;
    output_append(d, text);
    output_end(d);
    return d;
}

std::string output_head(const output_lines_t &d, const output_line_t &l) {
    std::string head(std::min(l.indent, output_lines_t::head_bytes), ' ');
    head += d.heads.at(l.text_hash);
    return head.substr(0, output_lines_t::head_bytes);
}

void read_output(const std::string &path, run_output_t &r) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        throw std::runtime_error("cannot read " + path);
    r.out.clear();
    r.out_whole = true;
    r.out_lines.emplace();
    std::vector<char> buf(size_t(1) << 16);
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) {
        std::string_view piece(buf.data(), n);
        output_append(*r.out_lines, piece);
        if (r.out_whole && r.out.size() + n <= kept_output_bytes)
            r.out.append(piece);
        else if (r.out_whole) {
            r.out_whole = false;
            std::string().swap(r.out);
        }
    }
    const bool failed = ferror(f);
    fclose(f);
    if (failed)
        throw std::runtime_error("cannot read " + path);
    output_end(*r.out_lines);
}

// The whole line when it is short enough to have been kept whole.
static std::optional<std::string> line_text(const output_lines_t &d, const output_line_t &l) {
    if (l.length > output_lines_t::head_bytes)
        return std::nullopt;
    return output_head(d, l);
}

static bool line_starts_with(const output_lines_t &d, const output_line_t &l,
                             std::string_view prefix) {
    if (l.length < prefix.size())
        return false;
    if (prefix.size() > output_lines_t::head_bytes)
        throw std::logic_error("a line prefix longer than the digest keeps");
    return output_head(d, l).compare(0, prefix.size(), prefix) == 0;
}

void expected_lines_t::add(std::string_view line) {
    uint64_t h = line_hash(line);
    hashes.push_back(h);
    if (!shown_text.count(h))
        shown_text[h] = shown(line);
}

void expected_lines_t::append(const expected_lines_t &more) {
    hashes.insert(hashes.end(), more.hashes.begin(), more.hashes.end());
    shown_text.insert(more.shown_text.begin(), more.shown_text.end());
}

// Exit status 0 after a normal end.
static void check_exit(check_result_t &c, const run_output_t &r) {
    if (r.timed_out)
        fail(c, "did not finish within its time limit");
    else if (!r.exited)
        fail(c, "killed by signal " + std::to_string(r.signal));
    else if (r.status != 0)
        fail(c, "exit status " + std::to_string(r.status));
}

// The whole standard output, for the checks that compare its bytes; null (and a failure) when
// it was too long to be kept.
static const std::string *whole_output(check_result_t &c, const run_output_t &r,
                                       const output_lines_t &out) {
    if (r.out_whole)
        return &r.out;
    fail(c, "standard output of " + std::to_string(out.size) + " bytes, more than the " +
                std::to_string(kept_output_bytes) + " this check compares");
    return nullptr;
}

static void check_no_stderr(check_result_t &c, const run_output_t &r) {
    if (!r.err.empty())
        fail(c, "standard error not empty: " + shown(text_lines(r.err).front()));
}

// The lines are the expected ones in some order: lines of different threads interleave freely,
// but each line is printed whole.
// With `unindented`, lines are compared without their indentation.
static void check_same_lines(check_result_t &c, const output_lines_t &actual,
                             const expected_lines_t &expected, bool unindented = false) {
    std::map<uint64_t, long> diff;
    std::map<uint64_t, std::string> actual_text;
    for (const auto &l : actual.lines) {
        uint64_t h = unindented ? l.text_hash : l.hash;
        ++diff[h];
        if (!expected.shown_text.count(h) && !actual_text.count(h))
            actual_text[h] = unindented ? shown(actual.heads.at(h)) : shown_line(actual, l);
    }
    for (uint64_t h : expected.hashes)
        --diff[h];
    const size_t most = 20; // the rest would only repeat the point
    size_t told = 0;
    for (const auto &[h, n] : diff) {
        if (n == 0)
            continue;
        if (++told > most) {
            fail(c, "... and more lines that differ");
            break;
        }
        auto text = expected.shown_text.count(h) ? expected.shown_text.at(h) : actual_text[h];
        if (n > 0)
            fail(c, std::to_string(n) + " unexpected line(s) " + text);
        else
            fail(c, std::to_string(-n) + " missing line(s) " + text);
    }
}

static void check_same_lines(check_result_t &c, const output_lines_t &actual,
                             const std::vector<std::string> &expected) {
    expected_lines_t e;
    for (const auto &l : expected)
        e.add(l);
    check_same_lines(c, actual, e);
}

static std::vector<std::string> launcher_lines(bool results) {
    std::vector<std::string> lines;
    for (int i = 0; i < workers; ++i) {
        lines.push_back(creating + std::to_string(i));
        if (results)
            lines.push_back(result_line);
    }
    return lines;
}

static bool is_launcher_line(const output_lines_t &out, const output_line_t &l) {
    return line_starts_with(out, l, creating) || line_starts_with(out, l, contract::result_prefix);
}

// The ten creation lines come in index order.
static void check_launcher_order(check_result_t &c, const output_lines_t &out) {
    std::vector<uint64_t> seen, want;
    for (const auto &l : out.lines)
        if (line_starts_with(out, l, creating))
            seen.push_back(l.hash);
    for (int i = 0; i < workers; ++i)
        want.push_back(line_hash(creating + std::to_string(i)));
    if (seen != want)
        fail(c, "the creation lines are not indices 0 to 9 in order");
}

static std::string marker_summary(const output_lines_t &lines, const program_t &p) {
    std::string s;
    for (const auto &m : {p.open_marker, p.close_marker}) {
        if (m.empty())
            continue;
        if (!s.empty())
            s += " ";
        s += std::to_string(count_line(lines, m)) + " " + m;
    }
    return s.empty() ? "-" : s;
}

static void check_marker_counts(check_result_t &c, const output_lines_t &lines, const program_t &p,
                                int want) {
    for (const auto &m : {p.open_marker, p.close_marker}) {
        if (m.empty())
            continue;
        int n = count_line(lines, m);
        if (n != want)
            fail(c, std::to_string(n) + " \"" + m + "\" markers, expected " + std::to_string(want));
    }
    c.markers = marker_summary(lines, p);
}

// The parameters and file names that a check reads are required and type-checked when the
// manifest is read, so the checks below take them as given.
static unsigned check_count(const program_t &p, const char *key) {
    return p.check.at(key).get<unsigned>();
}

// Each worker prints its closing marker after its opening one, so no prefix of the output holds
// more closing than opening markers.
static void check_marker_pairs(check_result_t &c, const output_lines_t &lines, const program_t &p) {
    int open = 0;
    for (const auto &l : lines.lines) {
        open += line_is(l, p.open_marker);
        if (line_is(l, p.close_marker) && --open < 0) {
            fail(c,
                 "a \"" + p.close_marker + "\" marker comes before its \"" + p.open_marker + "\"");
            return;
        }
    }
}

static std::string input(const run_output_t &r, const std::string &name) {
    auto it = r.inputs.find(name);
    return it == r.inputs.end() ? "" : it->second;
}

// --- Parameters -----------------------------------------------------------------------------
// Each check kind validates its own parameters and files when the manifest is read; a missing
// or mistyped one is an error of the manifest, not a default that would let the check pass.

static void require_count(const nlohmann::json &check, const char *key, bool zero_allowed) {
    auto it = check.find(key);
    if (it == check.end())
        throw std::runtime_error(std::string("check needs \"") + key + "\"");
    if (!it->is_number_integer() || it->get<long long>() < (zero_allowed ? 0 : 1) ||
        it->get<long long>() > 100000)
        throw std::runtime_error(std::string("check parameter \"") + key + "\" must be a " +
                                 (zero_allowed ? "non-negative" : "positive") + " integer");
}

static void require_listed(const std::vector<std::string> &names, const char *what) {
    if (names.empty() || names[0].empty())
        throw std::runtime_error(std::string("check needs a file in \"") + what + "\"");
}

// --- XML ------------------------------------------------------------------------------------

// The printer's rules: one line per element start (indented by the depth, name, attributes)
// and one per end (one level deeper, the latest character data). Lines go to `emit`.
struct outline_state_t {
    printer_state_t *printer;
    std::function<void(std::string_view)> emit;
};

static std::string indentation(int depth) {
    return std::string(size_t(std::max(depth, 0)), ' ');
}

static void outline_start(void *data, const XML_Char *name, const XML_Char **attributes) {
    auto *s = static_cast<outline_state_t *>(data);
    std::string line = indentation(s->printer->depth) + name;
    for (int i = 0; attributes[i]; i += 2)
        line += std::string(" ") + attributes[i] + "= '" + attributes[i + 1] + "'";
    s->emit(line);
    ++s->printer->depth;
}

static void outline_end(void *data, const XML_Char *name) {
    auto *s = static_cast<outline_state_t *>(data);
    s->emit(indentation(s->printer->depth) + "Content of element " + name + " was \"" +
            s->printer->last_content + "\"");
    --s->printer->depth;
}

static void outline_data(void *data, const XML_Char *text, int len) {
    static_cast<outline_state_t *>(data)->printer->last_content.assign(text, size_t(len));
}

// One parse as the programs run it: the document up to its first zero byte, refused when it
// does not fit the programs' buffer with a zero byte behind it.
static void xml_parse_lines(const std::string &document, printer_state_t &printer,
                            const std::function<void(std::string_view)> &emit) {
    if (document.size() >= contract::xml_buffer_size) {
        emit("Error: document is larger than " + std::to_string(contract::xml_buffer_size - 1) +
             " bytes");
        return;
    }
    outline_state_t s{&printer, emit};
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser)
        throw std::runtime_error("cannot create an XML parser");
    XML_SetUserData(parser, &s);
    XML_SetElementHandler(parser, outline_start, outline_end);
    XML_SetCharacterDataHandler(parser, outline_data);
    std::string text = document.substr(0, document.find('\0'));
    if (!XML_Parse(parser, text.data(), int(text.size()), 1))
        emit(std::string("Error: ") + XML_ErrorString(XML_GetErrorCode(parser)));
    XML_ParserFree(parser);
}

std::string xml_outline(const std::string &document) {
    printer_state_t fresh;
    std::string text;
    xml_parse_lines(document, fresh, [&](std::string_view line) {
        text.append(line);
        text += '\n';
    });
    return text;
}

expected_lines_t xml_worker_lines(const std::string &document, printer_state_t &printer) {
    expected_lines_t lines;
    lines.add(contract::xml_length_line);
    // Character data may hold newlines: the printed line then spans several output lines.
    xml_parse_lines(document, printer, [&](std::string_view text) {
        for (std::string_view line : text_lines(text))
            lines.add(line);
    });
    return lines;
}

// Whether the printer state (depth, latest content) carries over from one parse to the next
// ("process") or starts afresh in each worker ("thread"). A racy program may share only the
// depth between its threads ("depth").
static bool printer_per_thread(const program_t &p) {
    return p.check.at("printer").get<std::string>() == "thread";
}

static void validate_xml(const program_t &p) {
    require_listed(p.inputs, "inputs");
}

// A racy program whose workers share the parse buffer ("buffer": "shared") has the loose
// contract of check_xml_fanout_racy; any other racy program (a library-rule twin) keeps its
// race-free twin's.
static bool shared_buffer(const program_t &p) {
    auto it = p.check.find("buffer");
    return it != p.check.end() && *it == "shared";
}

static void validate_xml_fanout(const program_t &p) {
    validate_xml(p);
    if (auto b = p.check.find("buffer");
        b != p.check.end() && (*b != "shared" || p.variant != variant_t::racy))
        throw std::runtime_error("check parameter \"buffer\" is \"shared\", for a racy program");
    auto it = p.check.find("printer");
    if (p.variant == variant_t::racy && it != p.check.end() && *it == "depth")
        return;
    if (it == p.check.end() || !it->is_string() || (*it != "process" && *it != "thread"))
        throw std::runtime_error("check parameter \"printer\" must be \"process\" or "
                                 "\"thread\" (or \"depth\" for a racy program)");
}

static std::string_view unindented(std::string_view line) {
    size_t text = line.find_first_not_of(' ');
    return text == std::string_view::npos ? line.substr(line.size()) : line.substr(text);
}

// The racy twins' looser contracts. With the depth shared ("depth" printer) every worker prints
// the lines of a printer of its own, but indented by whatever depth it reads. With the parse
// buffer shared a parse may read what another worker is writing, so only the frame holds: the
// launcher lines with their results, the markers and one length line per worker (whose value
// is the length left by the worker before).
static void check_xml_fanout_racy(check_result_t &c, const program_t &p, const run_output_t &r,
                                  const output_lines_t &lines) {
    check_marker_counts(c, lines, p, workers);
    check_launcher_order(c, lines);
    if (p.check.at("printer").get<std::string>() == "depth") {
        expected_lines_t want, block;
        for (const auto &l : launcher_lines(true))
            want.add(l);
        block.add(p.open_marker);
        block.add(contract::xml_length_line);
        printer_state_t fresh;
        xml_parse_lines(input(r, p.inputs.at(0)), fresh, [&](std::string_view text) {
            for (std::string_view line : text_lines(text))
                block.add(unindented(line));
        });
        block.add(p.close_marker);
        for (int k = 0; k < workers; ++k)
            want.append(block);
        check_same_lines(c, lines, want, true);
        return;
    }
    const std::string length_line = contract::xml_length_line;
    const std::string length_prefix = length_line.substr(0, length_line.rfind(' ') + 1);
    int results = 0, lengths = 0;
    for (const auto &l : lines.lines) {
        if (line_starts_with(lines, l, contract::result_prefix)) {
            ++results;
            if (!line_is(l, result_line))
                fail(c, "unexpected result line " + shown_line(lines, l));
        }
        if (line_starts_with(lines, l, length_prefix)) {
            ++lengths;
            auto text = line_text(lines, l);
            std::string_view value =
                text ? std::string_view(*text).substr(length_prefix.size()) : std::string_view();
            if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
                fail(c, "malformed length line " + shown_line(lines, l));
        }
    }
    if (results != workers)
        fail(c, std::to_string(results) + " result lines, expected " + std::to_string(workers));
    if (lengths != workers)
        fail(c, std::to_string(lengths) + " length lines, expected " + std::to_string(workers));
}

static void check_xml_single(check_result_t &c, const program_t &p, const run_output_t &r,
                             const output_lines_t &out) {
    check_exit(c, r);
    printer_state_t fresh;
    expected_lines_t want = xml_worker_lines(input(r, p.inputs.at(0)), fresh);
    want.add(result_line);
    const auto &lines = out.lines;
    size_t i = 0;
    while (i < lines.size() && i < want.hashes.size() && lines[i].hash == want.hashes[i])
        ++i;
    bool whole = out.size > 0 && out.ends_in_newline;
    if (i < lines.size() || i < want.hashes.size() || !whole) {
        if (i == lines.size() && i == want.hashes.size())
            fail(c, "the last line has no newline");
        else
            fail(c, "output line " + std::to_string(i + 1) + " is " +
                        (i < lines.size() ? shown_line(out, lines[i]) : "missing") + ", expected " +
                        (i < want.hashes.size() ? want.shown_text.at(want.hashes[i]) : "nothing"));
    }
    check_no_stderr(c, r);
    c.markers = "-";
}

static void check_xml_fanout(check_result_t &c, const program_t &p, const run_output_t &r,
                             const output_lines_t &lines) {
    check_exit(c, r);
    if (p.variant == variant_t::racy && (shared_buffer(p) || !printer_per_thread(p))) {
        check_xml_fanout_racy(c, p, r, lines);
        check_no_stderr(c, r);
        return;
    }
    const std::string &document = input(r, p.inputs.at(0));
    const bool per_thread = printer_per_thread(p);
    // Worker k's block: its opening marker, then its parse as the printer state it starts
    // from makes it. A process-wide printer hands its state on in the order of the blocks.
    std::vector<expected_lines_t> blocks;
    printer_state_t printer;
    for (int k = 0; k < workers; ++k) {
        if (per_thread)
            printer = printer_state_t{};
        expected_lines_t block;
        block.add(p.open_marker);
        block.append(xml_worker_lines(document, printer));
        blocks.push_back(block);
    }
    expected_lines_t want;
    for (const auto &l : launcher_lines(true))
        want.add(l);
    for (const auto &b : blocks) {
        want.append(b);
        want.add(p.close_marker);
    }
    check_marker_counts(c, lines, p, workers);
    check_same_lines(c, lines, want);
    check_launcher_order(c, lines);
    if (p.variant == variant_t::serialized) {
        // Under the lock a worker's lines form one block; only the launcher lines and the
        // closing markers (printed after the release) may fall between them.
        std::vector<uint64_t> guarded, want_guarded;
        for (const auto &l : lines.lines)
            if (!is_launcher_line(lines, l) && !line_is(l, p.close_marker))
                guarded.push_back(l.hash);
        for (const auto &b : blocks)
            want_guarded.insert(want_guarded.end(), b.hashes.begin(), b.hashes.end());
        if (guarded != want_guarded)
            fail(c, "the lines printed under the lock do not form ten unbroken blocks");
    }
    check_no_stderr(c, r);
}

// --- PNG ------------------------------------------------------------------------------------

static void validate_png(const program_t &p) {
    require_listed(p.outputs, "outputs");
}

// The lines are exactly `want`, in order.
static bool lines_are(const output_lines_t &out, const std::vector<std::string> &want) {
    return std::equal(out.lines.begin(), out.lines.end(), want.begin(), want.end(),
                      [](const output_line_t &l, const std::string &w) { return line_is(l, w); });
}

static void check_png_fanout(check_result_t &c, const program_t &p, const run_output_t &r,
                             const output_lines_t &lines) {
    check_exit(c, r);
    auto want = launcher_lines(false);
    if (p.open_marker.empty()) {
        if (!lines_are(lines, want))
            fail(c, "standard output is not exactly the ten creation lines");
    } else {
        for (int i = 0; i < workers; ++i)
            want.push_back(p.open_marker);
        check_same_lines(c, lines, want);
        check_launcher_order(c, lines);
    }
    check_marker_counts(c, lines, p, workers);
    check_no_stderr(c, r);

    const std::string name = p.outputs.at(0);
    auto f = r.files.find(name);
    if (f == r.files.end()) {
        fail(c, name + " not written");
        c.outputs = name + " missing";
        return;
    }
    rgb_image_t img = decode_png(f->second);
    if (!img.ok) {
        fail(c, name + " does not decode: " + img.error);
        c.outputs = name + " broken";
        return;
    }
    bool good = true;
    const unsigned gw = contract::gradient_width, gh = contract::gradient_height;
    if (img.width != gw || img.height != gh || img.bit_depth != 8 || img.color_type != 2 ||
        img.interlace != 0) {
        fail(c, name + " is " + std::to_string(img.width) + "x" + std::to_string(img.height) +
                    " depth " + std::to_string(img.bit_depth) + " colour type " +
                    std::to_string(img.color_type) + " interlace " + std::to_string(img.interlace) +
                    ", expected " + std::to_string(gw) + "x" + std::to_string(gh) +
                    " depth 8 colour type 2 interlace 0");
        good = false;
    }
    for (unsigned y = 0; good && y < img.height; ++y) {
        for (unsigned x = 0; x < img.width; ++x) {
            const uint8_t *px = &img.rgb[(size_t(y) * img.width + x) * 3];
            int wr = contract::gradient_value(int(x), int(gw)) & 0xff;
            int wg = contract::gradient_value(int(y), int(gh)) & 0xff;
            if (px[0] != wr || px[1] != wg || px[2] != 0) {
                fail(c, name + " pixel (" + std::to_string(x) + "," + std::to_string(y) + ") is " +
                            std::to_string(px[0]) + "," + std::to_string(px[1]) + "," +
                            std::to_string(px[2]) + ", expected " + std::to_string(wr) + "," +
                            std::to_string(wg) + ",0");
                good = false;
                break;
            }
        }
    }
    c.outputs = name + (good ? " gradient ok" : " wrong");
}

// --- Image crop -----------------------------------------------------------------------------

static void validate_image_crop(const program_t &p) {
    for (const char *key : {"x", "y"})
        require_count(p.check, key, true);
    for (const char *key : {"width", "height"})
        require_count(p.check, key, false);
    require_listed(p.inputs, "inputs");
    require_listed(p.outputs, "outputs");
}

// Checks that output file `name` is the crop of `source`; returns what is wrong with it for the
// table ("missing", "broken", ...), or "" when it is right.
static std::string check_crop(check_result_t &c, const program_t &p, const run_output_t &r,
                              const rgb_image_t &source, const std::string &name) {
    const unsigned cx = check_count(p, "x"), cy = check_count(p, "y");
    const unsigned cw = check_count(p, "width"), ch = check_count(p, "height");
    auto f = r.files.find(name);
    if (f == r.files.end()) {
        fail(c, name + " not written");
        return "missing";
    }
    rgb_image_t crop = decode_png(f->second);
    if (!crop.ok || !source.ok) {
        fail(c, (crop.ok ? "the input" : name) +
                    " does not decode: " + (crop.ok ? source.error : crop.error));
        return "broken";
    }
    if (crop.width != cw || crop.height != ch || uint64_t(source.width) < uint64_t(cx) + cw ||
        uint64_t(source.height) < uint64_t(cy) + ch) {
        fail(c, name + " is " + std::to_string(crop.width) + "x" + std::to_string(crop.height) +
                    ", expected " + std::to_string(cw) + "x" + std::to_string(ch) +
                    " taken from a " + std::to_string(source.width) + "x" +
                    std::to_string(source.height) + " input");
        return "wrong size";
    }
    for (unsigned y = 0; y < ch; ++y) {
        for (unsigned x = 0; x < cw; ++x) {
            const uint8_t *got = &crop.rgb[(size_t(y) * cw + x) * 3];
            const uint8_t *exp = &source.rgb[(size_t(y + cy) * source.width + x + cx) * 3];
            if (!std::equal(got, got + 3, exp)) {
                fail(c, name + " pixel (" + std::to_string(x) + "," + std::to_string(y) +
                            ") differs from input pixel (" + std::to_string(x + cx) + "," +
                            std::to_string(y + cy) + ")");
                return "wrong pixels";
            }
        }
    }
    return "";
}

static void check_image_crop(check_result_t &c, const program_t &p, const run_output_t &r,
                             const output_lines_t &lines) {
    check_exit(c, r);
    auto want = launcher_lines(false);
    for (int i = 0; i < workers; ++i) {
        want.push_back(p.open_marker);
        want.push_back(p.close_marker);
    }
    check_marker_counts(c, lines, p, workers);
    check_marker_pairs(c, lines, p);
    check_same_lines(c, lines, want);
    check_launcher_order(c, lines);
    check_no_stderr(c, r);

    // Every output file (one per worker that writes its own) holds the crop of the input.
    rgb_image_t source = decode_png(input(r, p.inputs.at(0)));
    for (const auto &name : p.outputs) {
        const std::string wrong = check_crop(c, p, r, source, name);
        if (!wrong.empty()) {
            c.outputs = name + " " + wrong;
            return;
        }
    }
    c.outputs = p.outputs.size() == 1 ? p.outputs[0] + " crop ok"
                                      : std::to_string(p.outputs.size()) + " crops ok";
}

// --- Download -------------------------------------------------------------------------------

static void validate_download(const program_t &p) {
    if (p.serve.empty())
        throw std::runtime_error("check needs a served file (\"serve\")");
    if (p.stop_when_whole != contract::download_output || p.window_shot.empty())
        throw std::runtime_error(std::string("check needs \"stop_when_whole\": \"") +
                                 contract::download_output + "\" and a \"window_shot\"");
}

static void check_download(check_result_t &c, const program_t &p, const run_output_t &r,
                           const output_lines_t &out) {
    // The program never ends by itself: it must still be running when the runner stops it.
    if (r.timed_out)
        fail(c, "test.curl was not complete within the time limit");
    else if (r.exited)
        fail(c, "ended by itself with status " + std::to_string(r.status));
    else if (!r.stopped)
        fail(c, "killed by signal " + std::to_string(r.signal));
    if (out.size > 0)
        fail(c, "standard output not empty: " + shown_line(out, out.lines.front()));
    check_no_stderr(c, r);
    c.markers = "-";
    const std::string file = contract::download_output;
    auto f = r.files.find(file);
    if (f == r.files.end()) {
        fail(c, file + " not written");
        c.outputs = file + " missing";
        return;
    }
    const std::string served = input(r, p.serve);
    if (f->second != served) {
        fail(c, "test.curl holds " + std::to_string(f->second.size()) +
                    " bytes that differ from the " + std::to_string(served.size()) + " served");
        c.outputs = "test.curl wrong";
        return;
    }
    c.outputs = "test.curl ok";
    auto shot = r.files.find(p.window_shot);
    rgb_image_t img = decode_png(shot == r.files.end() ? "" : shot->second);
    if (!img.ok) {
        fail(c, "no screenshot of the window");
        return;
    }
    // The window holds only the bar, so a full bar fills most of the middle row.
    const double filled = bar_fill(img);
    if (filled < contract::download_bar_full) {
        fail(c, "the progress bar in shot.png is " + std::to_string(int(filled * 100)) +
                    "% filled, not full");
        c.outputs += ", bar not full";
        return;
    }
    c.outputs += ", bar full";
}

// --- zlib round trip ------------------------------------------------------------------------

std::string zlib_report(const std::string &open_marker, const std::string &close_marker) {
    // The same deflate settings as the programs: level 9, zlib wrapper, one Z_FINISH call on
    // the text with its terminating zero byte.
    unsigned char in[50] = {0}, out[50];
    std::copy(zlib_text.begin(), zlib_text.end(), in);
    z_stream s{};
    deflateInit(&s, Z_BEST_COMPRESSION);
    s.next_in = in;
    s.avail_in = uInt(zlib_text.size() + 1);
    s.next_out = out;
    s.avail_out = sizeof out;
    deflate(&s, Z_FINISH);
    size_t produced = sizeof out - s.avail_out;
    deflateEnd(&s);
    std::string compressed(reinterpret_cast<char *>(out), produced);
    compressed = compressed.substr(0, compressed.find('\0'));

    const std::string size = std::to_string(zlib_text.size());
    const std::string rule = "\n----------\n\n";
    return "Uncompressed size is: " + size + "\nUncompressed string is: " + zlib_text + "\n" +
           rule + open_marker + "\n" + close_marker +
           "\nCompressed size is: " + std::to_string(produced) +
           "\nCompressed string is: " + compressed + "\n" + rule + "Uncompressed size is: " + size +
           "\nUncompressed string is: " + zlib_text + "\n";
}

static void validate_nothing(const program_t &) {}

static void check_zlib_roundtrip(check_result_t &c, const program_t &p, const run_output_t &r,
                                 const output_lines_t &out) {
    check_exit(c, r);
    check_marker_counts(c, out, p, 1);
    std::string want = zlib_report(p.open_marker, p.close_marker);
    const std::string *text = whole_output(c, r, out);
    const bool same = text && *text == want;
    if (text && !same) {
        const auto &lines = out.lines;
        auto w = text_lines(want);
        size_t i = 0;
        while (i < lines.size() && i < w.size() && line_is(lines[i], w[i]))
            ++i;
        fail(c, "report line " + std::to_string(i + 1) + " is " +
                    (i < lines.size() ? shown_line(out, lines[i]) : "missing") + ", expected " +
                    (i < w.size() ? shown(w[i]) : "nothing"));
    }
    check_no_stderr(c, r);
    c.outputs = same ? "round trip ok" : "report wrong";
}

// --- gzip stream ----------------------------------------------------------------------------

// Inflates the gzip member that starts at `at`; returns its length in `out`, or an error text.
static std::string inflate_member(const std::string &data, size_t at, size_t &length,
                                  std::string &plain) {
    z_stream s{};
    if (inflateInit2(&s, 15 + 16) != Z_OK)
        return "inflateInit2 failed";
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + at));
    s.avail_in = uInt(data.size() - at);
    std::string error;
    int rc = Z_OK;
    while (rc == Z_OK) {
        char buf[4096];
        s.next_out = reinterpret_cast<Bytef *>(buf);
        s.avail_out = sizeof buf;
        rc = inflate(&s, Z_NO_FLUSH);
        plain.append(buf, sizeof buf - s.avail_out);
        if (rc == Z_OK && s.avail_in == 0)
            rc = Z_BUF_ERROR; // the member ends before its trailer
    }
    if (rc != Z_STREAM_END)
        error = s.msg ? s.msg : "truncated member";
    length = s.total_in;
    inflateEnd(&s);
    return error;
}

static void validate_gzip(const program_t &p) {
    require_count(p.check, "members", false);
}

static void check_gzip_stream(check_result_t &c, const program_t &p, const run_output_t &r,
                              const output_lines_t &lines) {
    check_exit(c, r);
    const int members = int(check_count(p, "members"));
    // Each cycle prints the worker's two markers (the main thread joins the worker first),
    // then the member that the main thread compressed.
    std::vector<std::string> tokens;
    int good = 0;
    size_t at = 0;
    const std::string open = p.open_marker + "\n", close = p.close_marker + "\n";
    static const std::string nothing;
    const std::string *whole = whole_output(c, r, lines);
    const std::string &out = whole ? *whole : nothing;
    while (at < out.size()) {
        if (out.compare(at, open.size(), open) == 0) {
            tokens.push_back(p.open_marker);
            at += open.size();
        } else if (out.compare(at, close.size(), close) == 0) {
            tokens.push_back(p.close_marker);
            at += close.size();
        } else if (out.compare(at, 2, "\x1f\x8b") == 0) {
            size_t length = 0;
            std::string plain;
            std::string error = inflate_member(out, at, length, plain);
            int index = int(std::count(tokens.begin(), tokens.end(), "member")) + 1;
            if (!error.empty()) {
                fail(c, "gzip member " + std::to_string(index) + " does not decompress: " + error);
                break;
            }
            if (plain != gzip_verse)
                fail(c, "gzip member " + std::to_string(index) + " holds " + shown(plain) +
                            ", not the verse");
            else
                ++good;
            tokens.push_back("member");
            at += length;
        } else {
            fail(c, "unexpected bytes at offset " + std::to_string(at) + ": " +
                        shown(out.substr(at, 20)));
            break;
        }
    }
    std::vector<std::string> want;
    for (int i = 0; i < members; ++i)
        want.insert(want.end(), {p.open_marker, p.close_marker, "member"});
    if (c.ok && tokens != want)
        fail(c, "standard output is not, ten times, the two markers and then one gzip member");
    std::string marker_lines;
    for (const auto &t : tokens)
        if (t != "member")
            marker_lines += t + "\n";
    check_marker_counts(c, output_digest(marker_lines), p, members);
    check_no_stderr(c, r);
    c.outputs = std::to_string(good) + "/" + std::to_string(members) + " members ok";
}

// --- OpenMP greeting ------------------------------------------------------------------------

static void validate_omp(const program_t &p) {
    require_count(p.check, "threads", false);
    if (p.check.contains("first_line") && !p.check["first_line"].is_string())
        throw std::runtime_error("check parameter \"first_line\" must be a string");
}

static void check_omp_hello(check_result_t &c, const program_t &p, const run_output_t &r,
                            const output_lines_t &out) {
    check_exit(c, r);
    check_no_stderr(c, r);
    c.markers = "-";
    const auto &lines = out.lines;
    size_t first = 0;
    if (p.check.contains("first_line")) {
        std::string want = p.check["first_line"].get<std::string>();
        if (lines.empty() || !line_is(lines[0], want))
            fail(c, "first line is not " + shown(want));
        first = 1;
    }
    const std::string hello = contract::omp_greeting_prefix, count = contract::omp_count_prefix;
    std::map<int, int> greeted;
    int count_lines = 0, team = -1;
    bool zero_seen = false, count_before_zero = false;
    for (size_t i = first; i < lines.size(); ++i) {
        // Every line it expects is short; a longer one is unexpected whatever it holds.
        const std::string l = line_text(out, lines[i]).value_or(output_head(out, lines[i]) + "...");
        if (l.compare(0, hello.size(), hello) == 0) {
            int n = atoi(l.c_str() + hello.size());
            if (l != hello + std::to_string(n))
                fail(c, "malformed greeting " + shown(l));
            ++greeted[n];
            zero_seen = zero_seen || n == 0;
        } else if (l.compare(0, count.size(), count) == 0) {
            ++count_lines;
            team = atoi(l.c_str() + count.size());
            count_before_zero = !zero_seen;
        } else {
            fail(c, "unexpected line " + shown(l));
        }
    }
    // In the racy twin a greeting may show another thread's number: thread 0's greeting cannot
    // be told, and the numbers need only be the team's.
    const bool racy = p.variant == variant_t::racy;
    if (count_lines != 1)
        fail(c, std::to_string(count_lines) + " thread-count lines, expected 1");
    else if (count_before_zero && !racy)
        fail(c, "the thread-count line comes before thread 0's greeting");
    const int want_team = int(check_count(p, "threads"));
    if (team != want_team)
        fail(c,
             "team of " + std::to_string(team) + " threads, expected " + std::to_string(want_team));
    if (racy) {
        int greetings = 0;
        for (const auto &[n, times] : greeted) {
            greetings += times;
            if (n < 0 || n >= want_team)
                fail(c, "greeting from thread " + std::to_string(n) + ", not one of 0 to " +
                            std::to_string(want_team - 1));
        }
        if (greetings != want_team)
            fail(c,
                 std::to_string(greetings) + " greetings, expected " + std::to_string(want_team));
        c.outputs = std::to_string(greetings) + " greetings";
        return;
    }
    bool complete = int(greeted.size()) == want_team;
    for (int t = 0; t < want_team; ++t)
        complete = complete && greeted.count(t) && greeted.at(t) == 1;
    if (!complete)
        fail(c, "greetings are not exactly one from each thread 0 to " +
                    std::to_string(want_team - 1));
    c.outputs = std::to_string(greeted.size()) + " greetings";
}

// --- Outside programs -----------------------------------------------------------------------

// An outside program's generic contract: its exit status, and optionally its standard output
// equal to a reference file (given to the check as an input under its own name).
static void validate_exit(const program_t &p) {
    auto status = p.check.find("status");
    if (status == p.check.end() || !status->is_number_integer() || *status < 0 || *status > 255)
        throw std::runtime_error("check parameter \"status\" must be an exit status 0 to 255");
    if (p.check.contains("stdout") &&
        (!p.check["stdout"].is_string() || p.check["stdout"].get<std::string>().empty()))
        throw std::runtime_error("check parameter \"stdout\" must name a file");
}

static void check_exit_status(check_result_t &c, const program_t &p, const run_output_t &r,
                              const output_lines_t &out) {
    const int want = p.check.at("status").get<int>();
    if (r.timed_out)
        fail(c, "did not finish within its time limit");
    else if (!r.exited)
        fail(c, "killed by signal " + std::to_string(r.signal));
    else if (r.status != want)
        fail(c, "exit status " + std::to_string(r.status) + ", expected " + std::to_string(want));
    c.markers = "-";
    if (p.check.contains("stdout")) {
        const std::string name = p.check["stdout"].get<std::string>();
        const std::string *text = whole_output(c, r, out);
        const bool same = text && *text == input(r, name);
        if (text && !same)
            fail(c, "standard output differs from " + name);
        c.outputs = same ? "stdout as " + name : "stdout wrong";
    }
}

// The check kinds: each with the validation of its parameters and its check.
struct check_kind_t {
    const char *name;
    void (*validate)(const program_t &);
    void (*check)(check_result_t &, const program_t &, const run_output_t &,
                  const output_lines_t &);
};

static const check_kind_t check_kinds[] = {
    {"xml_single", validate_xml, check_xml_single},
    {"xml_fanout", validate_xml_fanout, check_xml_fanout},
    {"png_fanout", validate_png, check_png_fanout},
    {"image_crop", validate_image_crop, check_image_crop},
    {"download", validate_download, check_download},
    {"zlib_roundtrip", validate_nothing, check_zlib_roundtrip},
    {"gzip_stream", validate_gzip, check_gzip_stream},
    {"omp_hello", validate_omp, check_omp_hello},
    {"exit", validate_exit, check_exit_status},
};

static const check_kind_t *find_kind(const std::string &name) {
    for (const auto &k : check_kinds)
        if (name == k.name)
            return &k;
    return nullptr;
}

void validate_check(const program_t &p) {
    if (!p.check.is_object())
        throw std::runtime_error("check must be an object");
    auto kind = p.check.find("kind");
    if (kind == p.check.end() || !kind->is_string())
        throw std::runtime_error("check needs a \"kind\"");
    const check_kind_t *k = find_kind(kind->get<std::string>());
    if (!k)
        throw std::runtime_error("unknown check kind " + kind->get<std::string>());
    k->validate(p);
}

check_result_t check_run(const program_t &p, const run_output_t &r) {
    check_result_t c;
    const std::string kind = p.check.value("kind", "");
    std::optional<output_lines_t> digested;
    if (!r.out_lines)
        digested = output_digest(r.out);
    if (const check_kind_t *k = find_kind(kind))
        k->check(c, p, r, r.out_lines ? *r.out_lines : *digested);
    else
        fail(c, "no check of kind " + shown(kind));
    if (c.outputs.empty())
        c.outputs = "-";
    return c;
}

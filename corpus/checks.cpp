#include "checks.h"

#include "images.h"

#include <algorithm>
#include <cstdlib>
#include <expat.h>
#include <zlib.h>

const std::string gzip_verse = "Shall I compare thee to a summer's days?\n"
                               "Thou art more lovely and more temperate:\n"
                               "Rough winds do shake the darling buds of May,\n"
                               "And summer's lease hath all too short a dates;\n";
// The fixed text of the zlib programs.
static const std::string zlib_text = "Hello Hello Hello Hello Hello Hello!";

static const int workers = 10;
static const std::string creating = "main() : creating thread, ";

std::vector<std::string> text_lines(const std::string &text) {
    std::vector<std::string> lines;
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

static int count_line(const std::vector<std::string> &lines, const std::string &line) {
    return int(std::count(lines.begin(), lines.end(), line));
}

static std::string shown(const std::string &s) {
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

// Exit status 0 after a normal end.
static void check_exit(check_result_t &c, const run_output_t &r) {
    if (r.timed_out)
        fail(c, "did not finish within its time limit");
    else if (!r.exited)
        fail(c, "killed by signal " + std::to_string(r.signal));
    else if (r.status != 0)
        fail(c, "exit status " + std::to_string(r.status));
}

static void check_no_stderr(check_result_t &c, const run_output_t &r) {
    if (!r.err.empty())
        fail(c, "standard error not empty: " + shown(text_lines(r.err).front()));
}

// The lines are the expected ones in some order: lines of different threads interleave freely,
// but each line is printed whole.
static void check_same_lines(check_result_t &c, const std::vector<std::string> &actual,
                             const std::vector<std::string> &expected) {
    std::map<std::string, int> diff;
    for (const auto &l : actual)
        ++diff[l];
    for (const auto &l : expected)
        --diff[l];
    for (const auto &[line, n] : diff) {
        if (n > 0)
            fail(c, std::to_string(n) + " unexpected line(s) " + shown(line));
        else if (n < 0)
            fail(c, std::to_string(-n) + " missing line(s) " + shown(line));
    }
}

static std::vector<std::string> launcher_lines(bool results) {
    std::vector<std::string> lines;
    for (int i = 0; i < workers; ++i) {
        lines.push_back(creating + std::to_string(i));
        if (results)
            lines.push_back("Result is 0");
    }
    return lines;
}

static bool is_launcher_line(const std::string &l) {
    return l.compare(0, creating.size(), creating) == 0 || l.compare(0, 10, "Result is ") == 0;
}

// The ten creation lines come in index order.
static void check_launcher_order(check_result_t &c, const std::vector<std::string> &lines) {
    std::vector<std::string> seen;
    for (const auto &l : lines)
        if (l.compare(0, creating.size(), creating) == 0)
            seen.push_back(l);
    std::vector<std::string> want;
    for (int i = 0; i < workers; ++i)
        want.push_back(creating + std::to_string(i));
    if (seen != want)
        fail(c, "the creation lines are not indices 0 to 9 in order");
}

static std::string marker_summary(const std::vector<std::string> &lines, const program_t &p) {
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

static void check_marker_counts(check_result_t &c, const std::vector<std::string> &lines,
                                const program_t &p, int want) {
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
static void check_marker_pairs(check_result_t &c, const std::vector<std::string> &lines,
                               const program_t &p) {
    int open = 0;
    for (const auto &l : lines) {
        open += l == p.open_marker;
        if (l == p.close_marker && --open < 0) {
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

// --- XML ------------------------------------------------------------------------------------

struct outline_state_t {
    std::string text;
    int depth = 0;
    std::string last_content;
};

static void outline_start(void *data, const XML_Char *name, const XML_Char **attributes) {
    auto *s = static_cast<outline_state_t *>(data);
    s->text += std::string(std::max(s->depth, 0), ' ') + name;
    for (int i = 0; attributes[i]; i += 2)
        s->text += std::string(" ") + attributes[i] + "= '" + attributes[i + 1] + "'";
    s->text += '\n';
    ++s->depth;
}

static void outline_end(void *data, const XML_Char *name) {
    auto *s = static_cast<outline_state_t *>(data);
    s->text += std::string(std::max(s->depth, 0), ' ') + "Content of element " + name + " was \"" +
               s->last_content + "\"\n";
    --s->depth;
}

static void outline_data(void *data, const XML_Char *text, int len) {
    static_cast<outline_state_t *>(data)->last_content.assign(text, size_t(len));
}

std::string xml_outline(const std::string &document) {
    outline_state_t s;
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser)
        return "";
    XML_SetUserData(parser, &s);
    XML_SetElementHandler(parser, outline_start, outline_end);
    XML_SetCharacterDataHandler(parser, outline_data);
    std::string text = document.substr(0, document.find('\0'));
    if (!XML_Parse(parser, text.data(), int(text.size()), 1))
        s.text += std::string("Error: ") + XML_ErrorString(XML_GetErrorCode(parser)) + "\n";
    XML_ParserFree(parser);
    return s.text;
}

static const char *length_line = "strlen(buff) before parsing: 0";

static void check_xml_single(check_result_t &c, const program_t &p, const run_output_t &r) {
    check_exit(c, r);
    std::string want =
        std::string(length_line) + "\n" + xml_outline(input(r, p.inputs.at(0))) + "Result is 0\n";
    if (r.out != want) {
        auto a = text_lines(r.out), w = text_lines(want);
        size_t i = 0;
        while (i < a.size() && i < w.size() && a[i] == w[i])
            ++i;
        fail(c, "output line " + std::to_string(i + 1) + " is " +
                    (i < a.size() ? shown(a[i]) : "missing") + ", expected " +
                    (i < w.size() ? shown(w[i]) : "nothing"));
    }
    check_no_stderr(c, r);
    c.markers = "-";
}

static void check_xml_fanout(check_result_t &c, const program_t &p, const run_output_t &r) {
    check_exit(c, r);
    auto lines = text_lines(r.out);
    auto outline = text_lines(xml_outline(input(r, p.inputs.at(0))));
    std::vector<std::string> block{p.open_marker, length_line};
    block.insert(block.end(), outline.begin(), outline.end());
    auto want = launcher_lines(true);
    for (int i = 0; i < workers; ++i) {
        want.insert(want.end(), block.begin(), block.end());
        want.push_back(p.close_marker);
    }
    check_marker_counts(c, lines, p, workers);
    check_same_lines(c, lines, want);
    check_launcher_order(c, lines);
    if (p.variant == "serialized") {
        // Under the lock a worker's lines form one block; only the launcher lines and the
        // closing markers (printed after the release) may fall between them.
        std::vector<std::string> guarded, want_guarded;
        for (const auto &l : lines)
            if (!is_launcher_line(l) && l != p.close_marker)
                guarded.push_back(l);
        for (int i = 0; i < workers; ++i)
            want_guarded.insert(want_guarded.end(), block.begin(), block.end());
        if (guarded != want_guarded)
            fail(c, "the lines printed under the lock do not form ten unbroken blocks");
    }
    check_no_stderr(c, r);
}

// --- PNG ------------------------------------------------------------------------------------

static int gradient_value(int v) {
    return int(double(v) / 100.0 * 256.0) & 0xff;
}

static void check_png_fanout(check_result_t &c, const program_t &p, const run_output_t &r) {
    check_exit(c, r);
    auto lines = text_lines(r.out);
    auto want = launcher_lines(false);
    if (p.open_marker.empty()) {
        if (lines != want)
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
    if (img.width != 100 || img.height != 100 || img.bit_depth != 8 || img.color_type != 2 ||
        img.interlace != 0) {
        fail(c, name + " is " + std::to_string(img.width) + "x" + std::to_string(img.height) +
                    " depth " + std::to_string(img.bit_depth) + " colour type " +
                    std::to_string(img.color_type) + " interlace " + std::to_string(img.interlace) +
                    ", expected 100x100 depth 8 colour type 2 interlace 0");
        good = false;
    }
    for (unsigned y = 0; good && y < img.height; ++y) {
        for (unsigned x = 0; x < img.width; ++x) {
            const uint8_t *px = &img.rgb[(size_t(y) * img.width + x) * 3];
            int wr = gradient_value(int(x)), wg = gradient_value(int(y));
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

static void check_image_crop(check_result_t &c, const program_t &p, const run_output_t &r) {
    check_exit(c, r);
    auto lines = text_lines(r.out);
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

    const unsigned cx = check_count(p, "x"), cy = check_count(p, "y");
    const unsigned cw = check_count(p, "width"), ch = check_count(p, "height");
    const std::string name = p.outputs.at(0);
    rgb_image_t source = decode_png(input(r, p.inputs.at(0)));
    auto f = r.files.find(name);
    if (f == r.files.end()) {
        fail(c, name + " not written");
        c.outputs = name + " missing";
        return;
    }
    rgb_image_t crop = decode_png(f->second);
    if (!crop.ok || !source.ok) {
        fail(c, (crop.ok ? "the input" : name) +
                    " does not decode: " + (crop.ok ? source.error : crop.error));
        c.outputs = name + " broken";
        return;
    }
    if (crop.width != cw || crop.height != ch || source.width < cx + cw ||
        source.height < cy + ch) {
        fail(c, name + " is " + std::to_string(crop.width) + "x" + std::to_string(crop.height) +
                    ", expected " + std::to_string(cw) + "x" + std::to_string(ch) +
                    " taken from a " + std::to_string(source.width) + "x" +
                    std::to_string(source.height) + " input");
        c.outputs = name + " wrong size";
        return;
    }
    for (unsigned y = 0; y < ch; ++y) {
        for (unsigned x = 0; x < cw; ++x) {
            const uint8_t *got = &crop.rgb[(size_t(y) * cw + x) * 3];
            const uint8_t *exp = &source.rgb[(size_t(y + cy) * source.width + x + cx) * 3];
            if (!std::equal(got, got + 3, exp)) {
                fail(c, name + " pixel (" + std::to_string(x) + "," + std::to_string(y) +
                            ") differs from input pixel (" + std::to_string(x + cx) + "," +
                            std::to_string(y + cy) + ")");
                c.outputs = name + " wrong pixels";
                return;
            }
        }
    }
    c.outputs = name + " crop ok";
}

// --- Download -------------------------------------------------------------------------------

// Share of the middle row of a screenshot of the progress window that the bar's fill covers.
static double bar_fill(const rgb_image_t &shot) {
    // The bar's fill is the theme's selection colour, clearly bluer than the grey trough and
    // frames around it: find the longest run of such pixels across the middle row.
    if (!shot.ok || shot.width == 0)
        return 0;
    const unsigned y = shot.height / 2;
    unsigned run = 0, longest = 0;
    for (unsigned x = 0; x < shot.width; ++x) {
        const uint8_t *px = &shot.rgb[(size_t(y) * shot.width + x) * 3];
        run = px[2] > px[0] + 30 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return double(longest) / shot.width;
}

static void check_download(check_result_t &c, const program_t &p, const run_output_t &r) {
    // The program never ends by itself: it must still be running when the runner stops it.
    if (r.timed_out)
        fail(c, "test.curl was not complete within the time limit");
    else if (r.exited)
        fail(c, "ended by itself with status " + std::to_string(r.status));
    else if (!r.stopped)
        fail(c, "killed by signal " + std::to_string(r.signal));
    if (!r.out.empty())
        fail(c, "standard output not empty: " + shown(r.out));
    check_no_stderr(c, r);
    c.markers = "-";
    auto f = r.files.find("test.curl");
    if (f == r.files.end()) {
        fail(c, "test.curl not written");
        c.outputs = "test.curl missing";
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
    auto shot = r.files.find("shot.png");
    rgb_image_t img = decode_png(shot == r.files.end() ? "" : shot->second);
    if (!img.ok) {
        fail(c, "no screenshot of the window");
        return;
    }
    // The window holds only the bar, so a full bar fills most of the middle row.
    const double filled = bar_fill(img);
    if (filled < 0.7) {
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

static void check_zlib_roundtrip(check_result_t &c, const program_t &p, const run_output_t &r) {
    check_exit(c, r);
    auto lines = text_lines(r.out);
    check_marker_counts(c, lines, p, 1);
    std::string want = zlib_report(p.open_marker, p.close_marker);
    if (r.out != want) {
        auto w = text_lines(want);
        size_t i = 0;
        while (i < lines.size() && i < w.size() && lines[i] == w[i])
            ++i;
        fail(c, "report line " + std::to_string(i + 1) + " is " +
                    (i < lines.size() ? shown(lines[i]) : "missing") + ", expected " +
                    (i < w.size() ? shown(w[i]) : "nothing"));
    }
    check_no_stderr(c, r);
    c.outputs = r.out == want ? "round trip ok" : "report wrong";
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

static void check_gzip_stream(check_result_t &c, const program_t &p, const run_output_t &r) {
    check_exit(c, r);
    const int members = int(check_count(p, "members"));
    // Each cycle prints the worker's two markers (the main thread joins the worker first),
    // then the member that the main thread compressed.
    std::vector<std::string> tokens;
    int good = 0;
    size_t at = 0;
    const std::string open = p.open_marker + "\n", close = p.close_marker + "\n";
    while (at < r.out.size()) {
        if (r.out.compare(at, open.size(), open) == 0) {
            tokens.push_back(p.open_marker);
            at += open.size();
        } else if (r.out.compare(at, close.size(), close) == 0) {
            tokens.push_back(p.close_marker);
            at += close.size();
        } else if (r.out.compare(at, 2, "\x1f\x8b") == 0) {
            size_t length = 0;
            std::string plain;
            std::string error = inflate_member(r.out, at, length, plain);
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
                        shown(r.out.substr(at, 20)));
            break;
        }
    }
    std::vector<std::string> want;
    for (int i = 0; i < members; ++i)
        want.insert(want.end(), {p.open_marker, p.close_marker, "member"});
    if (c.ok && tokens != want)
        fail(c, "standard output is not, ten times, the two markers and then one gzip member");
    std::vector<std::string> marker_lines;
    for (const auto &t : tokens)
        if (t != "member")
            marker_lines.push_back(t);
    check_marker_counts(c, marker_lines, p, members);
    check_no_stderr(c, r);
    c.outputs = std::to_string(good) + "/" + std::to_string(members) + " members ok";
}

// --- OpenMP greeting ------------------------------------------------------------------------

static void check_omp_hello(check_result_t &c, const program_t &p, const run_output_t &r) {
    check_exit(c, r);
    check_no_stderr(c, r);
    c.markers = "-";
    auto lines = text_lines(r.out);
    size_t first = 0;
    if (p.check.contains("first_line")) {
        std::string want = p.check["first_line"].get<std::string>();
        if (lines.empty() || lines[0] != want)
            fail(c, "first line is not " + shown(want));
        first = 1;
    }
    const std::string hello = "Hello World from thread = ", count = "Number of threads = ";
    std::map<int, int> greeted;
    int count_lines = 0, team = -1;
    bool zero_seen = false, count_before_zero = false;
    for (size_t i = first; i < lines.size(); ++i) {
        const std::string &l = lines[i];
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
    if (count_lines != 1)
        fail(c, std::to_string(count_lines) + " thread-count lines, expected 1");
    else if (count_before_zero)
        fail(c, "the thread-count line comes before thread 0's greeting");
    const int want_team = int(check_count(p, "threads"));
    if (team != want_team)
        fail(c,
             "team of " + std::to_string(team) + " threads, expected " + std::to_string(want_team));
    bool complete = int(greeted.size()) == want_team;
    for (int t = 0; t < want_team; ++t)
        complete = complete && greeted.count(t) && greeted.at(t) == 1;
    if (!complete)
        fail(c, "greetings are not exactly one from each thread 0 to " +
                    std::to_string(want_team - 1));
    c.outputs = std::to_string(greeted.size()) + " greetings";
}

check_result_t check_run(const program_t &p, const run_output_t &r) {
    check_result_t c;
    const std::string kind = p.check.value("kind", "");
    if (kind == "xml_single")
        check_xml_single(c, p, r);
    else if (kind == "xml_fanout")
        check_xml_fanout(c, p, r);
    else if (kind == "png_fanout")
        check_png_fanout(c, p, r);
    else if (kind == "image_crop")
        check_image_crop(c, p, r);
    else if (kind == "download")
        check_download(c, p, r);
    else if (kind == "zlib_roundtrip")
        check_zlib_roundtrip(c, p, r);
    else if (kind == "gzip_stream")
        check_gzip_stream(c, p, r);
    else if (kind == "omp_hello")
        check_omp_hello(c, p, r);
    else
        fail(c, "no check of kind " + shown(kind));
    if (c.outputs.empty())
        c.outputs = "-";
    return c;
}

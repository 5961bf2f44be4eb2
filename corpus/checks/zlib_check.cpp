#include "check_kit.h"

#include <stdexcept>
#include <zlib.h>

const std::string gzip_verse = contract::gzip_verse;

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

void read_nothing(const nlohmann::json &, const program_t &, check_spec_t &) {}

void check_zlib_roundtrip(check_result_t &c, const program_t &p, const run_output_t &r,
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

void read_gzip(const nlohmann::json &check, const program_t &, check_spec_t &s) {
    s.members = required_count(check, "members", false);
}

void check_gzip_stream(check_result_t &c, const program_t &p, const run_output_t &r,
                       const output_lines_t &lines) {
    check_exit(c, r);
    const int members = int(p.check.members);
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

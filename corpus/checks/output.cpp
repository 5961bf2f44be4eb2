#include "check_kit.h"

#include <fstream>
#include <stdexcept>

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
std::optional<std::string> line_text(const output_lines_t &d, const output_line_t &l) {
    if (l.length > output_lines_t::head_bytes)
        return std::nullopt;
    return output_head(d, l);
}

bool line_starts_with(const output_lines_t &d, const output_line_t &l, std::string_view prefix) {
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

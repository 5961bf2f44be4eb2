#include "check_kit.h"

#include <algorithm>
#include <expat.h>
#include <stdexcept>

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
// ("process") or starts afresh in each worker ("thread"). A racy or unserialized program may
// share only the depth between its threads ("depth").
static bool printer_per_thread(const program_t &p) {
    return p.check.printer == "thread";
}

void read_xml(const nlohmann::json &, const program_t &p, check_spec_t &) {
    require_listed(p.inputs, "inputs");
}

// A racy program whose workers share the parse buffer ("buffer": "shared") has the loose
// contract of check_xml_fanout_racy; any other racy program (a library-rule twin) keeps its
// race-free twin's.
static bool shared_buffer(const program_t &p) {
    return p.check.shared_buffer;
}

void read_xml_fanout(const nlohmann::json &check, const program_t &p, check_spec_t &s) {
    read_xml(check, p, s);
    if (auto b = check.find("buffer");
        b != check.end() && (*b != "shared" || p.variant != variant_t::racy))
        throw std::runtime_error("check parameter \"buffer\" is \"shared\", for a racy program");
    s.shared_buffer = check.contains("buffer");
    auto it = check.find("printer");
    // The depth may be shared by workers that parse at once: racy, or ordered otherwise than
    // by the process-wide lock.
    const bool depth = (p.variant == variant_t::racy || p.variant == variant_t::unserialized) &&
                       it != check.end() && *it == "depth";
    if (!depth && (it == check.end() || !it->is_string() || (*it != "process" && *it != "thread")))
        throw std::runtime_error("check parameter \"printer\" must be \"process\" or "
                                 "\"thread\" (or \"depth\" for a racy or unserialized program)");
    s.printer = it->get<std::string>();
}

static std::string_view unindented(std::string_view line) {
    size_t text = line.find_first_not_of(' ');
    return text == std::string_view::npos ? line.substr(line.size()) : line.substr(text);
}

// The looser contracts of the twins that share state. With the depth shared ("depth" printer),
// racy or not, every worker prints
// the lines of a printer of its own, but indented by whatever depth it reads. With the parse
// buffer shared a parse may read what another worker is writing, so only the frame holds: the
// launcher lines with their results, the markers and one length line per worker (whose value
// is the length left by the worker before).
static void check_xml_fanout_racy(check_result_t &c, const program_t &p, const run_output_t &r,
                                  const output_lines_t &lines) {
    check_marker_counts(c, lines, p, workers);
    check_launcher_order(c, lines);
    if (p.check.printer == "depth") {
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

void check_xml_single(check_result_t &c, const program_t &p, const run_output_t &r,
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

void check_xml_fanout(check_result_t &c, const program_t &p, const run_output_t &r,
                      const output_lines_t &lines) {
    check_exit(c, r);
    if ((p.variant == variant_t::racy && (shared_buffer(p) || !printer_per_thread(p))) ||
        p.check.printer == "depth") {
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

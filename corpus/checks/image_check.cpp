#include "check_kit.h"

#include "png_io.h"
#include <stdexcept>

// --- Image crop -----------------------------------------------------------------------------

void read_image_crop(const nlohmann::json &check, const program_t &p, check_spec_t &s) {
    s.x = required_count(check, "x", true);
    s.y = required_count(check, "y", true);
    s.width = required_count(check, "width", false);
    s.height = required_count(check, "height", false);
    require_listed(p.inputs, "inputs");
    require_listed(p.outputs, "outputs");
}

// Checks that output file `name` is the crop of `source`; returns what is wrong with it for the
// table ("missing", "broken", ...), or "" when it is right.
static std::string check_crop(check_result_t &c, const program_t &p, const run_output_t &r,
                              const rgb_image_t &source, const std::string &name) {
    const unsigned cx = p.check.x, cy = p.check.y;
    const unsigned cw = p.check.width, ch = p.check.height;
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

void check_image_crop(check_result_t &c, const program_t &p, const run_output_t &r,
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

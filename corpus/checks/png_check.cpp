#include "check_kit.h"

#include "png_io.h"
#include <algorithm>

// --- PNG ------------------------------------------------------------------------------------

void read_png(const nlohmann::json &, const program_t &p, check_spec_t &) {
    require_listed(p.outputs, "outputs");
}

void check_png_fanout(check_result_t &c, const program_t &p, const run_output_t &r,
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

#include "check_kit.h"

#include "png_io.h"
#include "xvfb.h"
#include <stdexcept>

// --- Download -------------------------------------------------------------------------------

void read_download(const nlohmann::json &, const program_t &p, check_spec_t &) {
    if (p.serve.empty())
        throw std::runtime_error("check needs a served file (\"serve\")");
    if (p.stop_when_whole != contract::download_output || p.window_shot.empty())
        throw std::runtime_error(std::string("check needs \"stop_when_whole\": \"") +
                                 contract::download_output + "\" and a \"window_shot\"");
}

void check_download(check_result_t &c, const program_t &p, const run_output_t &r,
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

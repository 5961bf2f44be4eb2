// image_crop_locked: ten workers each read "samp.png" with Magick++, crop the 100 by 100 region
// at (100, 100) out of it and write "logo.png", one at a time under `lock` (variant SERIALIZED,
// no twin). Race-free: the only object the workers share is `main`'s blank image, which they
// copy and never change (Magick++ counts its references under its own lock), and the read,
// crop and write of every worker run under `lock`.
#include "contract.h"
#include "fanout.h"

#include <Magick++.h>

#include <string>

// Copies the blank image, then reads, crops and writes under `lock`. A library failure
// (warnings included, which is how a crop outside the picture is reported) ends the guarded
// work and is reported on stdout; the other workers carry on.
static void *crop_worker(void *arg) {
    const Magick::Image *blank = static_cast<const Magick::Image *>(arg);
    Magick::Image image(*blank);
    guard_enter();
    cout_line(open_marker, true);
    trace_mark(open_marker);
    try {
        image.read(std::string(contract::crop_input));
        image.crop(Magick::Geometry(contract::crop_width, contract::crop_height, contract::crop_x,
                                    contract::crop_y, false, false));
        image.write(std::string(contract::crop_output));
    } catch (Magick::Exception &e) {
        cout_line((std::string("Caught exception: ") + e.what()).c_str(), true);
        guard_leave();
        return nullptr;
    }
    guard_leave();
    cout_line(close_marker, true);
    trace_mark(close_marker);
    return nullptr;
}

int main(int, char **argv) {
    Magick::InitializeMagick(argv[0]);
    Magick::Image blank;
    pthread_t workers[worker_count];
    launch_workers(workers, crop_worker, &blank, false);
    // Every worker has copied the blank image, and finished with "logo.png", before it goes.
    join_workers(workers);
    return 0;
}

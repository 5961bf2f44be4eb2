// image_crop_locked: ten workers each read "samp.png" with Magick++, crop the 100 by 100 region
// at (100, 100) out of it and write "logo.png", one at a time under `lock`.
#include "fanout.h"

#include <Magick++.h>

#include <string>

// Copies the blank image, then reads, crops and writes under `lock`. A library failure
// (warnings included, which is how a crop outside the picture is reported) ends the guarded
// work and is reported on stdout; the other workers carry on.
static void *code(void *arg) {
    const Magick::Image *blank = static_cast<const Magick::Image *>(arg);
    Magick::Image image(*blank);
    guard_enter();
    cout_line(open_marker, true);
    try {
        image.read(std::string("samp.png"));
        image.crop(Magick::Geometry(100, 100, 100, 100, false, false));
        image.write(std::string("logo.png"));
    } catch (Magick::Exception &e) {
        cout_line((std::string("Caught exception: ") + e.what()).c_str(), true);
        guard_leave();
        return nullptr;
    }
    guard_leave();
    cout_line(close_marker, true);
    return nullptr;
}

int main(int, char **argv) {
    Magick::InitializeMagick(argv[0]);
    Magick::Image blank;
    pthread_t threads[worker_count];
    launch_workers(threads, code, &blank, false);
    // Every worker has copied the blank image, and finished with "logo.png", before it goes.
    join_workers(threads);
    return 0;
}

// image_crop_locked / image_crop_unlocked: ten workers each read "samp.png" with Magick++, crop
// the 100 by 100 region at (100, 100) out of it and write it. SERIALIZED (image_crop_locked):
// one at a time under `lock`, all into "logo.png". UNSERIALIZED (image_crop_unlocked): all at
// once without the lock, each into a file of its own ("logo-<k>.png"), so that what ImageMagick
// does with ten threads at work is seen. Race-free in both: the only object the workers share
// is `main`'s blank image, which they copy and never change (Magick++ counts its references
// under its own lock); every other image object is one worker's.
#include "contract.h"
#include "fanout.h"

#include <Magick++.h>

#include <atomic>
#include <string>

// The file a worker writes: "logo.png" in turn under the lock, or one of its own when the
// workers write at once (numbered in the order they get here).
static std::string output_name() {
    if constexpr (variant::serialized)
        return contract::crop_output;
    static std::atomic<int> next{0};
    return contract::crop_output_stem + std::to_string(next++) + ".png";
}

// Copies the blank image, then reads, crops and writes (under `lock` when serialized). A library
// failure (warnings included, which is how a crop outside the picture is reported) ends the guarded
// work and is reported on stdout; the other workers carry on.
static void *crop_worker(void *arg) {
    const Magick::Image *blank = static_cast<const Magick::Image *>(arg);
    Magick::Image image(*blank);
    const std::string output = output_name();
    guard_enter();
    cout_line(open_marker, true);
    trace_mark(open_marker);
    try {
        image.read(std::string(contract::crop_input));
        image.crop(Magick::Geometry(contract::crop_width, contract::crop_height, contract::crop_x,
                                    contract::crop_y, false, false));
        image.write(output);
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

// image_crop_locked / image_crop_unlocked: ten workers each read "samp.png" with Magick++, crop
// the 100 by 100 region at (100, 100) out of it and write it. SERIALIZED (image_crop_locked):
// one at a time under `lock`, all into "logo.png". UNSERIALIZED (image_crop_unlocked): all at
// once without the lock, each into a file of its own ("logo-<k>.png"), so that what ImageMagick
// does with ten threads at work is seen. Race-free in both: the only object the workers share
// is `main`'s blank image, which they copy and never change (Magick++ counts its references
// under its own lock); every other image object is one worker's.
// HANDOVER (image_crop_handover) is the unserialized variant with ImageMagick's rule broken, that
// an image's pixel cache is used by one thread (others take a cache view): each worker's image is
// read on a thread of its own and handed back without a happens-before edge, so the decoder's
// stores into the pixels race with the crop's loads of them on the worker.
#include "contract.h"
#include "fanout.h"
#include "handover.h"

#include <Magick++.h>

#include <atomic>
#include <cstring>
#include <string>

// The file a worker writes: "logo.png" in turn under the lock, or one of its own when the
// workers write at once (numbered in the order they get here).
static std::string output_name() {
    if constexpr (variant::serialized)
        return contract::crop_output;
    static std::atomic<int> next{0};
    return contract::crop_output_stem + std::to_string(next++) + ".png";
}

static void report_exception(const Magick::Exception &e) {
    cout_line((std::string("Caught exception: ") + e.what()).c_str(), true);
}

// The hand-over's maker: reads the input into the worker's image; a library failure is reported
// as the worker reports one, and hands over nothing.
[[maybe_unused]] static void read_input(void *arg, void *made[2]) {
    Magick::Image *image = static_cast<Magick::Image *>(arg);
    made[0] = made[1] = image;
    try {
        image->read(std::string(contract::crop_input));
    } catch (Magick::Exception &e) {
        report_exception(e);
        made[0] = made[1] = nullptr;
    }
}

// Joins the maker thread when the worker is done with the image, not before: the join would
// order the read before the crop.
struct maker_joined_at_end_t {
    handover_t *handover = nullptr;
    ~maker_joined_at_end_t() {
        if (handover)
            handover_finish(*handover);
    }
};

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
    [[maybe_unused]] handover_t handover;
    maker_joined_at_end_t maker;
    try {
        if constexpr (variant::handover) {
            if (int err = handover_start(handover, read_input, &image); err != 0) {
                cout_line((std::string("Caught exception: cannot start the reading thread: ") +
                           strerror(err))
                              .c_str(),
                          true);
                guard_leave();
                return nullptr;
            }
            maker.handover = &handover;
            if (!handover_take(handover, 0)) { // the failure is reported
                guard_leave();
                return nullptr;
            }
        } else {
            image.read(std::string(contract::crop_input));
        }
        image.crop(Magick::Geometry(contract::crop_width, contract::crop_height, contract::crop_x,
                                    contract::crop_y, false, false));
        image.write(output);
    } catch (Magick::Exception &e) {
        report_exception(e);
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

#include "bitmap.h"

rgb_pixel_t *pixel_at(bitmap_t *bitmap, int x, int y) {
    // Signed arithmetic, so that a negative coordinate gives a negative offset rather than one
    // that only comes out right after unsigned wrap-around.
    return bitmap->pixels + (static_cast<ptrdiff_t>(bitmap->width) * y + static_cast<ptrdiff_t>(x));
}

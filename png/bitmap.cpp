#include "bitmap.h"

rgb_pixel_t *pixel_at(bitmap_t *bitmap, int x, int y) {
    // The coordinates are widened with their sign before the arithmetic.
    return bitmap->pixels + bitmap->width * static_cast<size_t>(y) + static_cast<size_t>(x);
}

int pix(int value, int max) {
    if (value < 0)
        return 0;
    return static_cast<int>(static_cast<double>(value) / static_cast<double>(max) * 256.0);
}

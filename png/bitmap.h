// The in-memory RGB picture that the PNG writer encodes, and its pixel addressing.
#pragma once

#include <cstddef>
#include <cstdint>

// One pixel: exactly three bytes, red first.
struct rgb_pixel_t {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

// A picture stored row after row from the top, each row from column 0 rightward, with nothing
// between pixels or rows.
struct bitmap_t {
    rgb_pixel_t *pixels;
    size_t width;
    size_t height;
};

// The pixel at column x and row y; no bounds check.
rgb_pixel_t *pixel_at(bitmap_t *bitmap, int x, int y);

// Test pictures for the crop program: a position-dependent pattern, its PNG coding (through
// png_io.h), and the reference crop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An 8-bit RGB picture, rows from the top, 3 bytes a pixel.
struct picture_t {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// Red is the column and green the row (both modulo 256), blue a checkerboard of 32-pixel
// squares: within 256 by 256 every pixel differs, so a crop at the wrong place shows.
picture_t pattern_picture(int width, int height);

// The picture as PNG file bytes.
std::string encode_png(const picture_t &picture);

// Decodes PNG bytes of any colour type to 8-bit RGB; false when they are no PNG.
bool decode_png(const std::string &bytes, picture_t &picture);

// The part of `picture` with its top-left corner at (x, y), clipped to the picture.
picture_t crop_picture(const picture_t &picture, int x, int y, int width, int height);

// In-memory PNG decoding for the checks: any PNG normalised to 8-bit RGB, plus its header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct rgb_image_t {
    bool ok = false;
    std::string error;
    unsigned width = 0, height = 0;
    int bit_depth = 0, color_type = 0, interlace = 0; // from the file's IHDR chunk
    std::vector<uint8_t> rgb;                         // width * height * 3 bytes, rows top down
};

// Largest picture decode_png takes (4096 x 4096).
constexpr uint64_t max_decoded_pixels = uint64_t(4096) * 4096;

// Decodes the PNG file held in `bytes`; refuses pictures above max_decoded_pixels.
rgb_image_t decode_png(const std::string &bytes);

// Encodes an 8-bit RGB image as PNG (used to build test fixtures).
std::string encode_png(unsigned width, unsigned height, const std::vector<uint8_t> &rgb);

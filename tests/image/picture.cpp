#include "picture.h"

#include "png_io.h"

#include <algorithm>

picture_t pattern_picture(int width, int height) {
    picture_t p;
    p.width = width;
    p.height = height;
    p.rgb.reserve(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            p.rgb.push_back(static_cast<uint8_t>(x));
            p.rgb.push_back(static_cast<uint8_t>(y));
            p.rgb.push_back(((x / 32 + y / 32) % 2) ? 255 : 0);
        }
    }
    return p;
}

std::string encode_png(const picture_t &picture) {
    return encode_png(picture.width, picture.height, picture.rgb);
}

bool decode_png(const std::string &bytes, picture_t &picture) {
    rgb_image_t image = decode_png(bytes);
    picture.width = int(image.width);
    picture.height = int(image.height);
    picture.rgb = std::move(image.rgb);
    return image.ok;
}

picture_t crop_picture(const picture_t &picture, int x, int y, int width, int height) {
    picture_t p;
    p.width = std::max(0, std::min(width, picture.width - x));
    p.height = std::max(0, std::min(height, picture.height - y));
    for (int row = y; row < y + p.height; ++row) {
        auto from = picture.rgb.begin() + (static_cast<size_t>(row) * picture.width + x) * 3;
        p.rgb.insert(p.rgb.end(), from, from + p.width * 3);
    }
    return p;
}
